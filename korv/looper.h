/* The event-looper thread, on which every socket callback, dispatcher and
 * timer of the daemon runs. */
#ifndef LOOPER_H
#define LOOPER_H

#ifdef __cplusplus
extern "C" {
#endif

/* Bring-up's start handshake: starts the looper thread and returns once the
 * event loop is ready to take events. */
void kro_event_looper_start(void);
/* Readiness of the exception channel: hands the blocking read to a thread. */
void on_socbridge_event(int fd, short flags, void *arg);

#ifdef __cplusplus
}
#endif
#endif
