/* Link-time stand-ins for the property calls a phone's libcutils makes on
 * bionic (Debian's libcutils is built without them).  phone-check only links
 * what it builds, so these never run: they answer "no such property" and
 * refuse every set. */
#include <string.h>

#include <cutils/properties.h>

int property_get(const char *key, char *value, const char *default_value)
{
    (void)key;
    size_t len = default_value ? strnlen(default_value, PROPERTY_VALUE_MAX - 1) : 0;
    memcpy(value, default_value ? default_value : "", len);
    value[len] = '\0';
    return (int)len;
}

int property_set(const char *key, const char *value)
{
    (void)key;
    (void)value;
    return -1;
}
