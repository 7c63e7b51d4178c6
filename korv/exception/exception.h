/* Exception channel (/dev/socbridge), the notification pty (/dev/ttyled) and
 * exception handling: dump, reset and self-restart. */
#ifndef EXCEPTION_H
#define EXCEPTION_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The exception channel the driver writes its records to. */
#define SOCBRIDGE_PATH "/dev/socbridge"
/* Name under which the notification pty's slave is published. */
#define LED_TTY_FILE "/dev/ttyled"

/* Why an exception is handled (kro_handle_modem_exception's flag). */
#define KRO_EXCEPTION_DUMP 1  /* dump record on the exception channel */
#define KRO_EXCEPTION_FW 2    /* framework request */
#define KRO_EXCEPTION_LINK 4  /* framework connection lost, or AT time-out */

/* Notification types written on the pty. */
#define KRO_NOTIFY_DETECTED 1 /* an exception record arrived on the channel */
#define KRO_NOTIFY_RESET 2    /* handled and reset; the daemon restarts itself */

/* Property that marks an exception in progress ("1") for other processes. */
#define MODEM_EXCEPTION_PROP "persist.sys.modem.exception"

/* Descriptor of the pty master, -1 until opened.  Written once by the
 * exception-channel opener thread; afterwards only written to (no lock). */
extern int ptym_fd;

/* Thread body: opens the exception channel (retrying), creates the pty and
 * arms the channel's read event on the looper. */
void *set_socbridge_event(void *arg);
/* Opens the pty master, makes it raw and publishes its slave as
 * LED_TTY_FILE; 0, or -1. */
int create_pty_tty_channel(void);
/* Thread body: reads the channel once it is readable (fd_ptr holds the
 * descriptor) and re-arms the read event. */
void *thread_fun_read_socbridge(void *fd_ptr);
/* Reads and scans the channel until a dump record is found and handed on
 * (0), or until end of stream, a read error or the channel's close (-1). */
int read_socbridge(int fd);
/* Forgets the channel descriptor (sets it to -1) and returns what it was. */
int kro_socbridge_take_fd(void);
/* The lock under which the channel's descriptor is armed, copied and closed:
 * whoever takes the descriptor to close it holds it across take and close. */
void kro_socbridge_lock(void);
/* The same lock for teardown (exit-signal handler): gives up after a bounded
 * wait, or at once on the thread that holds it, logs that, and returns 0;
 * 1 when the lock is held and must be released. */
int kro_socbridge_lock_timed(const char *who);
/* Releases the channel's lock. */
void kro_socbridge_unlock(void);

/* Takes one exception (flag KRO_EXCEPTION_*) through dump tool and reset;
 * a call while one is being handled is logged and ignored. */
void kro_handle_modem_exception(int flag);
/* Looper timer: polls for the dump tool's completion, then reports the
 * reset and restarts the daemon. */
void kro_on_modem_exception(int fd, short flags, void *arg);
/* Writes one 4-byte notification of `type` on the pty master; 0, or -1. */
int korv_exception_inform(uint8_t type);
/* korv_exception_inform, then the line saying how it went for `caller`;
 * the handling goes on either way. */
void kro_inform_and_log(uint8_t type, const char *caller);
/* 1 while an exception is being handled (until its poll ends). */
int kro_is_modem_reseting(void);
/* Reads MODEM_EXCEPTION_PROP back and logs its first character. */
void kro_log_exception_prop(void);

#ifdef __cplusplus
}
#endif
#endif
