/* Event loop on libevent: one process-wide base, made thread-aware and
 * notifiable so that events set, added or deleted from any thread reach a
 * loop that is asleep, and so that an event may be changed from inside its
 * own callback.
 *
 * The base and the loop-break event are created once (s_base_once) and never
 * freed; after that they are only read.  Each caller-owned kor_event_st
 * carries one libevent event in `impl`, created on its first set and reused
 * by every later set; libevent's own lock guards everything the loop shares
 * with other threads.  Changing an event from another thread while its
 * callback runs waits for the callback to finish (libevent's rule), so a
 * callback must not wait for a thread that is changing its own event. */
#include <event2/event.h>
#include <event2/thread.h>
#include <pthread.h>

#include "adapter_int.h"
#include "kor_event.h"
#include "kor_os.h"

static_assert(KOR_EV_READ == EV_READ && KOR_EV_TIMEOUT == EV_TIMEOUT,
              "callbacks get libevent's flags as they are");

#define USEC_PER_SEC 1000000

static pthread_once_t s_base_once = PTHREAD_ONCE_INIT;
static struct event_base *s_base;
static struct event *s_break_event;

static void on_loop_break(evutil_socket_t fd, short flags, void *arg) {
    (void)fd;
    (void)flags;
    event_base_loopbreak((struct event_base *)arg);
}

static void event_base_create(void) {
    if (evthread_use_pthreads() != 0) {
        tp_os_str_printf(KOR_ADAPTER_MOD, KOR_LVL_ERROR, KOR_ADAPTER_TAG "event: no thread support\n");
        return;
    }
    struct event_base *base = event_base_new();
    if (base == NULL || evthread_make_base_notifiable(base) != 0) {
        tp_os_str_printf(KOR_ADAPTER_MOD, KOR_LVL_ERROR, KOR_ADAPTER_TAG "event: no event base\n");
        goto free_base;
    }
    /* Breaking is done by an activated event rather than a flag: libevent
     * clears its break flag when a loop starts, and a break requested just
     * before that must not be lost. */
    s_break_event = event_new(base, -1, 0, on_loop_break, base);
    if (s_break_event == NULL) {
        tp_os_str_printf(KOR_ADAPTER_MOD, KOR_LVL_ERROR, KOR_ADAPTER_TAG "event: no break event\n");
        goto free_base;
    }
    s_base = base;
    return;
free_base:
    if (base != NULL) event_base_free(base);
}

static struct event_base *event_base_get(void) {
    pthread_once(&s_base_once, event_base_create);
    return s_base;
}

int kor_event_init(void) { return event_base_get() != NULL ? 0 : -1; }

int kor_event_loop(void) {
    struct event_base *base = event_base_get();
    if (base == NULL) return -1;
    if (event_base_loop(base, EVLOOP_NO_EXIT_ON_EMPTY) < 0)
        tp_os_str_printf(KOR_ADAPTER_MOD, KOR_LVL_ERROR, KOR_ADAPTER_TAG "event: loop failed\n");
    return -1;
}

void kor_event_loopbreak(void) {
    if (event_base_get() != NULL) event_active(s_break_event, EV_TIMEOUT, 0);
}

void kor_event_set(kor_event_st *ev, int fd, int persist, kor_event_cb_t cb, void *arg) {
    struct event_base *base = event_base_get();
    if (ev == NULL || base == NULL) return;
    short what = (short)((fd >= 0 ? EV_READ : 0) | (persist ? EV_PERSIST : 0));
    struct event *impl = (struct event *)ev->impl;
    if (impl != NULL) {
        /* Never reassign a pending event; from its own callback this is
         * safe too, as libevent no longer touches it once the callback
         * runs. */
        event_del(impl);
        if (event_assign(impl, base, fd, what, cb, arg) != 0) impl = NULL;
    } else {
        impl = event_new(base, fd, what, cb, arg);
        ev->impl = impl;
    }
    if (impl == NULL) {
        tp_os_str_printf(KOR_ADAPTER_MOD, KOR_LVL_ERROR, KOR_ADAPTER_TAG "event: set fd %d failed\n", fd);
        return;
    }
    ev->fd = fd;
    ev->persist = persist;
    ev->cb = cb;
    ev->arg = arg;
}

int kor_event_add(kor_event_st *ev) {
    if (ev == NULL || ev->impl == NULL) return -1;
    return event_add((struct event *)ev->impl, NULL) == 0 ? 0 : -1;
}

int kor_timer_add(kor_event_st *ev, const kor_timeval_st *period) {
    if (ev == NULL || ev->impl == NULL || period == NULL) return -1;
    /* libevent carries at most one second out of the microseconds (and
     * reads some high bit patterns as a common-timeout tag), so a period
     * like {0, 2500000} must be normalised before it gets there. */
    int64_t sec = period->tv_sec + period->tv_usec / USEC_PER_SEC;
    int64_t usec = period->tv_usec % USEC_PER_SEC;
    if (usec < 0) {
        usec += USEC_PER_SEC;
        sec--;
    }
    if (sec < 0) sec = usec = 0;
    struct timeval tv;
    tv.tv_sec = (time_t)sec;
    tv.tv_usec = (suseconds_t)usec;
    return event_add((struct event *)ev->impl, &tv) == 0 ? 0 : -1;
}

/* An event never set has nothing to disarm. */
int kor_event_del(kor_event_st *ev) {
    if (ev == NULL) return -1;
    if (ev->impl == NULL) return 0;
    return event_del((struct event *)ev->impl) == 0 ? 0 : -1;
}
