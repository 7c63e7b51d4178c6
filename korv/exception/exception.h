/* Exception channel (/dev/socbridge), the notification pty (/dev/ttyled) and
 * exception handling: dump, reset and self-restart. */
#ifndef EXCEPTION_H
#define EXCEPTION_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SOCBRIDGE_PATH "/dev/socbridge"
#define LED_TTY_FILE "/dev/ttyled"

#define KRO_EXCEPTION_DUMP 1  /* dump record on the exception channel */
#define KRO_EXCEPTION_FW 2    /* framework request */
#define KRO_EXCEPTION_LINK 4  /* framework connection lost, or AT time-out */

/* Notification types written on the pty. */
#define KRO_NOTIFY_DETECTED 1 /* an exception record arrived on the channel */
#define KRO_NOTIFY_RESET 2    /* handled and reset; the daemon restarts itself */

#define MODEM_EXCEPTION_PROP "persist.sys.modem.exception"

extern int ptym_fd;

void *set_socbridge_event(void *arg);
int create_pty_tty_channel(void);
void *thread_fun_read_socbridge(void *fd_ptr);
int read_socbridge(int fd);
/* Descriptor of the exception channel, -1 while not open. */
int kro_socbridge_fd(void);
/* Forgets the channel descriptor (sets it to -1) and returns what it was. */
int kro_socbridge_take_fd(void);
/* The lock under which the channel's descriptor is armed, copied and closed:
 * whoever takes the descriptor to close it holds it across take and close.
 * The timed form is for teardown (exit-signal handler): it gives up after a
 * bounded wait, or at once on the thread that holds it, logs that, and
 * returns 0; 1 when the lock is held and must be released. */
void kro_socbridge_lock(void);
int kro_socbridge_lock_timed(const char *who);
void kro_socbridge_unlock(void);

void kro_handle_modem_exception(int flag);
void kro_on_modem_exception(int fd, short flags, void *arg);
int korv_exception_inform(uint8_t type);
/* korv_exception_inform, then the line saying how it went for `caller`;
 * the handling goes on either way. */
void kro_inform_and_log(uint8_t type, const char *caller);
int kro_is_modem_reseting(void);
/* Reads MODEM_EXCEPTION_PROP back and logs its first character. */
void kro_log_exception_prop(void);

#ifdef __cplusplus
}
#endif
#endif
