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
 * runs inside the exit-signal handler, takes it with utran_store_lock_timed. */

/* Takes the store's lock, waiting as long as it takes (looper only). */
void utran_store_lock(void);
/* Takes the store's lock for teardown: gives up after a bounded wait (or at
 * once when the calling thread already holds it) and returns 0, after saying
 * so in the log; 1 when the lock is held and must be released. */
int utran_store_lock_timed(const char *who);
/* Releases the store's lock. */
void utran_store_unlock(void);

/* Under the lock: marks the service as running (1) or stopped (0). */
void utran_store_set_started(int started);
/* Under the lock: length of the stored image header in bytes. */
uint64_t utran_store_len(void);

#ifdef __cplusplus
}
#endif
#endif
