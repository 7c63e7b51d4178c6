/* Timed waits shared by the queue and thread services: conditions on the
 * monotonic clock, so time-outs and sleeps ignore changes of the wall clock. */
#include <pthread.h>
#include <time.h>

#include "adapter_int.h"

void kor_cond_init(pthread_cond_t *cond) {
    pthread_condattr_t ca;
    pthread_condattr_init(&ca);
    pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
    pthread_cond_init(cond, &ca);
    pthread_condattr_destroy(&ca);
}

void kor_deadline_after(uint32_t ms, struct timespec *at) {
    clock_gettime(CLOCK_MONOTONIC, at);
    at->tv_sec += ms / 1000;
    at->tv_nsec += (long)(ms % 1000) * 1000000L;
    if (at->tv_nsec >= 1000000000L) {
        at->tv_sec++;
        at->tv_nsec -= 1000000000L;
    }
}
