/* Android libcutils property API (subset).  Values hold at most 91 bytes. */
#ifndef CUTILS_PROPERTIES_H
#define CUTILS_PROPERTIES_H

#ifdef __cplusplus
extern "C" {
#endif

#define PROPERTY_KEY_MAX 32
#define PROPERTY_VALUE_MAX 92

/* Fills value (PROPERTY_VALUE_MAX bytes) with the property or the default;
 * returns the length of what was stored. */
int property_get(const char *key, char *value, const char *default_value);
/* 0, or -1 (value too long, bad name, store not writable). */
int property_set(const char *key, const char *value);

#ifdef __cplusplus
}
#endif
#endif
