/* The event-looper thread: runs the adapter's one event loop, on which every
 * socket callback, both dispatchers and every timer of the daemon run, one at
 * a time.  Also the readiness callback of the exception channel, which hands
 * the blocking read to a thread of its own.
 *
 * Ownership: s_looper_mutex guards s_looper_started and pairs with
 * s_looper_cond; bring-up holds the mutex from before the looper thread exists
 * until the flag is set, the looper takes it only to set the flag.
 * s_socbridge_ready_fd is written on the looper and read by the one reader
 * thread it starts (the one-shot event keeps at most one reader alive). */
#include <errno.h>
#include <pthread.h>
#include <signal.h>

#include "exception/exception.h"
#include "bringup.h"
#include "fwlink/fwlink.h"
#include "kor_os.h"
#include "korv_log.h"
#include "looper.h"

#define LOOPER_PRIORITY (-64)
#define LOOPER_SIZE_HINT 4096
#define READER_SIZE_HINT 1

static pthread_mutex_t s_looper_mutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t s_looper_cond = PTHREAD_COND_INITIALIZER; /* pairs with s_looper_mutex */
static int s_looper_started = 0;                                 /* s_looper_mutex */

static int s_socbridge_ready_fd = -1; /* looper writes; the one reader thread it starts reads */

/* The looper thread's entry: runs the adapter's event loop until it fails. */
static void *kro_event_looper(void *arg)
{
    (void)arg;
    /* The stop lets the NVRAM writer drain what this thread has read, and
     * this thread may be the one blocked handing it over: teardown must run
     * on another thread. */
    tp_os_thread_signal_register();
    kor_event_init();

    pthread_mutex_lock(&s_looper_mutex);
    s_looper_started = 1;
    pthread_cond_broadcast(&s_looper_cond);
    pthread_mutex_unlock(&s_looper_mutex);

    kor_event_loop();

    /* The loop only returns when it is broken beyond repair: nothing of the
     * daemon can work without it, so take the whole group down and let the
     * service manager start afresh. */
    int err = errno;
    kro_release_dmi_ops();
    LOG_CORE_ERR("[KORV][FLOW]error in event_loop_base errno:%d\n", err);
    tp_os_log_flush(); /* SIGKILL gives the log buffers no other chance */
    kill(0, SIGKILL);
    return NULL;
}

void kro_event_looper_start(void)
{
    s_looper_started = 0;
    pthread_mutex_lock(&s_looper_mutex);
    uint64_t tid = tp_os_thread_create("kro_event_looper", kro_event_looper, LOOPER_PRIORITY,
                                       LOOPER_SIZE_HINT, NULL);
    if (tid == KOR_OS_FAIL) {
        /* Waiting would hang bring-up for ever; without a loop the later
         * registrations fail on their own and say so. */
        LOG_CORE_ERR("[KORV][FLOW]kro_event_looper thread create failed\n");
    } else {
        while (!s_looper_started)
            pthread_cond_wait(&s_looper_cond, &s_looper_mutex);
    }
    pthread_mutex_unlock(&s_looper_mutex);
}

void on_socbridge_event(int fd, short flags, void *arg)
{
    (void)flags;
    (void)arg;
    s_socbridge_ready_fd = fd;
    uint64_t tid = tp_os_thread_create("read_socbridge", thread_fun_read_socbridge, LOOPER_PRIORITY,
                                       READER_SIZE_HINT, &s_socbridge_ready_fd);
    if (tid == KOR_OS_FAIL)
        LOG_CORE_ERR("[KORV][FLOW]on_socbridge_event read_socbridge thread create failed, fd:%d\n", fd);
}
