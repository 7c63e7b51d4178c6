/* Event loop of libkor_adapter.so on libevent: one process-wide loop run by
 * the looper thread.  Event records are owned by the caller; they may be set,
 * added and deleted from any thread and from their own callback. */
#ifndef KOR_EVENT_H
#define KOR_EVENT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void (*kor_event_cb_t)(int fd, short flags, void *arg);

/* Caller-owned record.  Zero-initialised storage is a valid unset event. */
typedef struct kor_event_st {
    void *impl;        /* libevent's event, created on first set */
    int fd;            /* -1 for a timer */
    int persist;
    kor_event_cb_t cb;
    void *arg;
} kor_event_st;

/* A period; tv_usec may exceed one second ({0, 1000000} is one second). */
typedef struct kor_timeval_st {
    int64_t tv_sec;
    int64_t tv_usec;
} kor_timeval_st;

#define KOR_EV_READ 0x02
#define KOR_EV_TIMEOUT 0x01

int kor_event_init(void);
/* Runs the loop; returns (-1) only when the loop fails or was broken. */
int kor_event_loop(void);
/* Makes kor_event_loop return -1 (tests and benchmarks only). */
void kor_event_loopbreak(void);
void kor_event_set(kor_event_st *ev, int fd, int persist, kor_event_cb_t cb, void *arg);
int kor_event_add(kor_event_st *ev);
int kor_timer_add(kor_event_st *ev, const kor_timeval_st *period);
int kor_event_del(kor_event_st *ev);

#ifdef __cplusplus
}
#endif
#endif
