/* The control socket "/dev/socket/korv" and the counters it reports.  Other
 * areas bump the counters (kro_ctl_stat_*); the socket's thread reads them
 * into the status answer.  Every counter is a relaxed atomic: a bump costs
 * one uncontended atomic add on the hot path and never logs. */
#ifndef KRO_CTL_H
#define KRO_CTL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KRO_CTL_SOCKET_PATH "/dev/socket/korv"
/* Set by init to the descriptor of the socket it created for korv. */
#define KRO_CTL_INIT_SOCKET_ENV "ANDROID_SOCKET_korv"

/* Opens the socket (init's, else a new one with mode 0660) and starts the
 * thread that serves it.  0, or -1 after logging why; korv runs on without. */
int kro_ctl_start(void);
/* Teardown, inside the exit-signal handler: removes the socket file when
 * korv created it.  Takes no lock and allocates nothing. */
void kro_ctl_stop(void);

/* ---- counters ---- */

#define KRO_CTL_LINK_WORK 0
#define KRO_CTL_LINK_NV 1
#define KRO_CTL_LINKS 2

/* The link of a framework port (8010 or 8020, as configured). */
void kro_ctl_stat_link_port(int link, int port);
/* An accepted connection: connected, one more connect. */
void kro_ctl_stat_link_connected(int link);
void kro_ctl_stat_link_closed(int link);
/* A peer refused by the allowed-uid check. */
void kro_ctl_stat_link_refused(int link);
/* The uid at the other end of the current connection (-1: not known). */
void kro_ctl_stat_link_peer_uid(int link, int64_t uid);
/* One whole record of `length` bytes (without its 4-byte length prefix). */
void kro_ctl_stat_link_record_in(int link, size_t length);
void kro_ctl_stat_link_record_out(int link, size_t length);
/* A record dropped for a bad header or length. */
void kro_ctl_stat_link_bad_record(int link);

/* NV entries handed to the writer, written to a file (with their data
 * bytes), lost on the way; and the syncs of written data.  Of the lost
 * ones, those whose write failed (write_failed, dropped too); NV-channel
 * records whose command korv does not take (unknown_cmd). */
void kro_ctl_stat_nv_queued(void);
void kro_ctl_stat_nv_written(uint64_t bytes);
void kro_ctl_stat_nv_dropped(void);
void kro_ctl_stat_nv_synced(void);
void kro_ctl_stat_nv_write_failed(void);
void kro_ctl_stat_nv_unknown_cmd(void);

#define KRO_CTL_MODEM_CLOSED 0
#define KRO_CTL_MODEM_OPEN 1
#define KRO_CTL_MODEM_RUNNING 2
#define KRO_CTL_MODEM_FAILED 3
void kro_ctl_stat_modem_state(int state);
/* The NVRAM cache as the driver placed it in modem memory. */
void kro_ctl_stat_modem_cache(uint64_t base, uint64_t size);

void kro_ctl_stat_utran_started(int started);
/* A DMI channel the driver created or deleted (name: up to 12 bytes, not
 * necessarily terminated).  The delete may run inside the exit-signal
 * handler: it waits a bounded time for the list and allocates nothing. */
void kro_ctl_stat_channel_created(const char *name);
void kro_ctl_stat_channel_deleted(const char *name);

#define KRO_CTL_EXC_IDLE 0
#define KRO_CTL_EXC_DUMPING 1
#define KRO_CTL_EXC_RESETTING 2
/* A modem exception of `type` (its flag) taken into handling: one more in
 * the count, now dumping. */
void kro_ctl_stat_exception_begin(int type);
void kro_ctl_stat_exception_state(int state);

#ifdef __cplusplus
}
#endif
#endif
