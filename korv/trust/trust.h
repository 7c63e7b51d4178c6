/* Trust: who may talk to korv.  The uids allowed at the other end of a
 * framework link and on the control socket come from one place. */
#ifndef TRUST_H
#define TRUST_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Property naming the allowed uids: a comma-separated list of decimal uids,
 * which when set is the whole list. */
#define KRO_TRUST_UIDS_PROP "ro.korv.fw_uids"

/* 1 when `uid` is allowed: listed in ro.korv.fw_uids, or, while that is
 * unset or empty, one of 0, 1000, 1001 and korv's own uid.  The property is
 * read at each call, so a change takes effect at the next check. */
int kro_trust_uid_allowed(int64_t uid);

#ifdef __cplusplus
}
#endif
#endif
