/* Work-channel dispatcher, outgoing work messages and SIM voltage control. */
#ifndef WORK_H
#define WORK_H

#include <stddef.h>
#include <stdint.h>
#include "kor_msg.h"

#ifdef __cplusplus
extern "C" {
#endif

#define WORK_PARCEL_CAPACITY 320
#define WORK_TEXT_SIZE 640 /* log rendering of one message */
#define USIM_VOLTAGE_PATH "/sys/tarno/usim_voltage"
#define USIM2_VOLTAGE_PATH "/sys/tarno/usim2_voltage"

extern int g_fdTestSocbridgeWrite;

void work_socket_event(int fd, const void *record, size_t length);
parcel_write_st *create_work_parcel(uint32_t msg_cmd);
/* Sends an empty-bodied work message, logged as "<what> write socket: ...".
 * Without a work connection nothing is sent and, unless null_what is NULL,
 * "<null_what> parcel is NULL ..." is logged.  0, or -1. */
int work_send_empty(uint32_t msg_cmd, const char *what, const char *null_what);
void kro_on_modem_reset_completed(int flag);
void *voltag_control_thread(void *record);
void tp_man_interface_usim_voltage_control(uint8_t card_index, uint8_t vol_type);

#ifdef __cplusplus
}
#endif
#endif
