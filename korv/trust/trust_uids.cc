/* The allowed uids of ro.korv.fw_uids.  No state: the property is read at
 * each check (a check happens per connection, never per record). */
#include <string.h>
#include <unistd.h>

#include "cutils/properties.h"
#include "korv_log.h"
#include "trust/trust.h"

#define UID_MAX_VALUE 0xFFFFFFFEll /* (uid_t)-1 is "no uid" */

static const int64_t s_default_uids[] = {0, 1000, 1001};

/* Parses one list entry ("1000", blanks around allowed); -1 when it is not a
 * decimal uid. */
static int64_t parse_uid(const char *text, size_t len)
{
    while (len > 0 && (*text == ' ' || *text == '\t'))
        text++, len--;
    while (len > 0 && (text[len - 1] == ' ' || text[len - 1] == '\t'))
        len--;
    if (len == 0 || len > 10)
        return -1;
    int64_t value = 0;
    for (size_t i = 0; i < len; i++) {
        if (text[i] < '0' || text[i] > '9')
            return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value > UID_MAX_VALUE ? -1 : value;
}

/* 1 when the list names `uid`; an entry that is no uid is logged and skipped. */
static int list_names_uid(const char *list, int64_t uid)
{
    int found = 0;
    for (const char *p = list; !found;) {
        const char *comma = strchr(p, ',');
        size_t len = comma ? (size_t)(comma - p) : strlen(p);
        int64_t entry = parse_uid(p, len);
        if (entry < 0)
            LOG_CORE_ERR("[KORV][FLOW] %s: entry \"%.*s\" is not a uid, skipped\n", KRO_TRUST_UIDS_PROP, (int)len, p);
        found = entry >= 0 && entry == uid;
        if (comma == NULL)
            break;
        p = comma + 1;
    }
    return found;
}

int kro_trust_uid_allowed(int64_t uid)
{
    if (uid < 0)
        return 0;
    char list[PROPERTY_VALUE_MAX];
    memset(list, 0, sizeof(list));
    property_get(KRO_TRUST_UIDS_PROP, list, "");
    if (list[0] != '\0')
        return list_names_uid(list, uid);
    for (int64_t allowed : s_default_uids)
        if (uid == allowed)
            return 1;
    return uid == (int64_t)getuid();
}
