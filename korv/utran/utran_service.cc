/* The UTRAN service lifecycle (start and stop walk the stored image header)
 * and the AT time-out watch, a one-second timer on the looper.
 *
 * Shared state: the started flag and the store belong to utran_image.cc and
 * are touched here only under its lock.  Start runs on the looper; stop runs
 * on the looper or inside the exit-signal handler, so it takes the lock with
 * a bounded wait and never holds it across its two-second pause.
 * at_timeout_event is touched only by the looper (and once by bring-up
 * before the first tick). */
#include <errno.h>
#include <string.h>
#include <time.h>

#include "cutils/properties.h"
#include "exception/exception.h"
#include "kor_event.h"
#include "kor_os.h"
#include "korv_log.h"
#include "utran/utran.h"
#include "utran/utran_store.h"

#define UTRAN_SERVICE_PROP "ril.start.utran.service"
#define AT_TIMEOUT_PROP "radio.brimwell.at_timeout"
/* A stop pauses this long between announcing that the service is gone and
 * deleting its channels, so their users can let go first. */
#define UTRAN_STOP_PAUSE_S 2

static kor_event_st at_timeout_event; /* looper only (bring-up arms it before the first tick) */
/* Kept unnormalised: the timer service takes a microsecond count above one
 * second as it is. */
static const kor_timeval_st s_at_timeout_period = {0, 1000000};

void start_utran_service(void)
{
    LOG_CORE_FLOW("[KORV][UTRAN]start_utran_servcie\n");
    utran_store_lock();
    utran_store_set_started(1);
    /* Without a header the walk waits for the header's arrival. */
    if (utran_store_len() != 0)
        walk_image_tags(UTRAN_WALK_CREATE);
    utran_store_unlock();
}

/* sleep(3) ends early when a signal is handled; the pause is kept whole. */
static void pause_whole(unsigned seconds)
{
    struct timespec left = {(time_t)seconds, 0};

    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

void stop_utran_service(void)
{
    int held;

    LOG_CORE_FLOW("[KORV][UTRAN]stop_utran_service\n");
    held = utran_store_lock_timed("stop_utran_service");
    utran_store_set_started(0);
    if (held)
        utran_store_unlock();
    property_set(UTRAN_SERVICE_PROP, "0");
    pause_whole(UTRAN_STOP_PAUSE_S);
    held = utran_store_lock_timed("stop_utran_service");
    if (utran_store_len() != 0)
        walk_image_tags(UTRAN_WALK_DELETE);
    if (held)
        utran_store_unlock();
}

static void check_at_timeout(int fd, short flags, void *arg);

static void arm_at_timeout_watch(void)
{
    kor_event_set(&at_timeout_event, -1, 0, check_at_timeout, NULL);
    kor_timer_add(&at_timeout_event, &s_at_timeout_period);
}

void start_at_timeout_watch(void) { arm_at_timeout_watch(); }

/* One tick of the watch, on the looper. */
static void check_at_timeout(int fd, short flags, void *arg)
{
    char value[PROPERTY_VALUE_MAX];

    (void)fd;
    (void)flags;
    (void)arg;
    memset(value, 0, sizeof value);
    if (property_get(AT_TIMEOUT_PROP, value, "0") > 0 && value[0] == '1') {
        LOG_CORE_FLOW("[KORV][UTRAN]AT time out!\n");
        property_set(AT_TIMEOUT_PROP, "0");
        kro_handle_modem_exception(KRO_EXCEPTION_LINK);
    }
    /* Re-armed after the work, so ticks never pile up behind a slow one. */
    arm_at_timeout_watch();
}
