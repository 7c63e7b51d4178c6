/* Bounded lock taking for teardown's path (see teardown_lock.h). */
#include "teardown_lock.h"

#include <time.h>

#include "kor_os.h"
#include "korv_log.h"

int kro_lock_for_teardown(pthread_mutex_t *lock, const char *tag, const char *what, const char *who)
{
    struct timespec deadline;
    int rc;

    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += KRO_TEARDOWN_LOCK_WAIT_S;
    rc = pthread_mutex_timedlock(lock, &deadline);
    if (rc == 0)
        return 1;
    LOG_CORE_ERR("%s%s: %s lock not taken (error %d), going on without it\n",
                 tag, who, what, rc);
    return 0;
}
