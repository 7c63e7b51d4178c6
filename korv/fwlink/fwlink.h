/* The two framework connections: the work channel (8010) and the NV channel
 * (8020). */
#ifndef FWLINK_H
#define FWLINK_H

#include <atomic>

#include "kor_event.h"
#include "kor_msg.h"
#include "cutils/record_stream.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Default ports of the work channel and the NV channel. */
#define FW_WORK_PORT 8010
#define FW_NV_PORT 8020

/* One framework connection. */
typedef struct fw_socket_client_st {
    std::atomic<int> fd; /* any thread reads; the connection thread publishes it once, a
                          * failure claims it back to -1 (compare-and-swap); -1 while
                          * not connected */
    int port;            /* bring-up, before the connection thread starts */
    kor_event_st event;  /* connection thread once, then the looper */
    RecordStream *stream; /* connection thread once, then the looper; freed by whoever
                           * claimed fd */
} fw_socket_client_st;

/* The work channel (fw_client_8010) and the NV channel (fw_client_8020);
 * live for the process, no lock (see each field). */
extern fw_socket_client_st fw_client_8010;
extern fw_socket_client_st fw_client_8020;

/* Port of a channel: KORV_WORK_PORT / KORV_NV_PORT, else the default. */
int kro_fw_port(int default_port);

/* Connection thread body (client is the record): connects with endless
 * retry, then arms the record's read event on the looper and ends. */
void *set_fwsocket_event(void *client);
/* Looper read callback: drains the stream and routes each record to the
 * dispatcher of its channel. */
void socket_client_fwm(int fd, short flags, void *stream);
/* Closes the connection that owns fd for good and hands the fault to
 * exception handling; a descriptor no connection owns is left alone. */
void on_fw_connect_error(int fd);
/* A framework message could not be written: the same as a failed
 * connection, for the parcel's descriptor. */
void on_fw_parcel_write_failed(parcel_write_st *parcel);
/* write_parcel, counting the record on the link it went out on. */
int kro_fw_write_parcel(parcel_write_st *parcel);

#ifdef __cplusplus
}
#endif
#endif
