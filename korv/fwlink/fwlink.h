/* The two framework connections: the work channel (8010) and the NV channel
 * (8020). */
#ifndef FWLINK_H
#define FWLINK_H

#include "kor_event.h"
#include "kor_msg.h"
#include "cutils/record_stream.h"

#ifdef __cplusplus
extern "C" {
#endif

#define FW_WORK_PORT 8010
#define FW_NV_PORT 8020

typedef struct fw_socket_client_st {
    int fd;   /* -1 while not connected and after a failure */
    int port;
    kor_event_st event;
    RecordStream *stream;
} fw_socket_client_st;

/* Live for the process; no lock: each connection thread writes its record
 * once, afterwards only the looper (and write-failure paths) touch them. */
extern fw_socket_client_st fw_client_8010;
extern fw_socket_client_st fw_client_8020;

/* Port of a channel: KORV_WORK_PORT / KORV_NV_PORT, else the default. */
int kro_fw_port(int default_port);

void *set_fwsocket_event(void *client);
void socket_client_fwm(int fd, short flags, void *stream);
void on_fw_connect_error(int fd);
void on_fw_parcel_write_failed(parcel_write_st *parcel);

#ifdef __cplusplus
}
#endif
#endif
