/* Locks that teardown shares with the looper.  Teardown runs inside the
 * exit-signal handler, on whichever thread the signal found, so it may never
 * wait without bound for a lock that the interrupted thread could hold. */
#ifndef TEARDOWN_LOCK_H
#define TEARDOWN_LOCK_H

#include <pthread.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The looper holds such a lock only for a few driver requests. */
#define KRO_TEARDOWN_LOCK_WAIT_S 1

/* Takes `lock` (an error-checking mutex, so the holder's own thread is
 * refused at once) within KRO_TEARDOWN_LOCK_WAIT_S.  Returns 1 when it is
 * held; else logs "<tag><who>: <what> lock not taken ..." and returns 0, and
 * the caller goes on without it. */
int kro_lock_for_teardown(pthread_mutex_t *lock, const char *tag, const char *what, const char *who);

#ifdef __cplusplus
}
#endif
#endif
