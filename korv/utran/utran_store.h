/* The UTRAN image store's lock, shared by the image half (load and walk) and
 * the service half (start, stop) of the utran area.  Not used outside it. */
#ifndef UTRAN_STORE_H
#define UTRAN_STORE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The store (bytes and length) and the started flag are guarded by one lock.
 * The looper takes it with utran_store_lock; stop_utran_service, which also
 * runs inside the exit-signal handler, takes it with utran_store_lock_timed,
 * which gives up after a bounded wait (or at once when the calling thread
 * already holds it) and returns 0 in that case, after saying so in the log.
 * Returns 1 when the lock is held and must be released. */
void utran_store_lock(void);
int utran_store_lock_timed(const char *who);
void utran_store_unlock(void);

/* Under the lock. */
int utran_store_started(void);
void utran_store_set_started(int started);
uint64_t utran_store_len(void);

#ifdef __cplusplus
}
#endif
#endif
