/* Work-channel dispatcher, outgoing work messages and SIM voltage control. */
#ifndef WORK_H
#define WORK_H

#include <stddef.h>
#include <stdint.h>
#include "kor_msg.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Capacity of an outgoing work message's parcel in bytes. */
#define WORK_PARCEL_CAPACITY 320
#define WORK_TEXT_SIZE 640 /* log rendering of one message */
/* sysfs nodes of the SIM power-on voltage, card 0 and card 1. */
#define USIM_VOLTAGE_PATH "/sys/tarno/usim_voltage"
#define USIM2_VOLTAGE_PATH "/sys/tarno/usim2_voltage"

/* Descriptor the test exception text is written to; 0 until someone outside
 * the daemon sets it (the daemon only reads it, on the looper). */
extern int g_fdTestSocbridgeWrite;

/* The work channel's dispatcher, on the looper: one whole record per call. */
void work_socket_event(int fd, const void *record, size_t length);
/* Sends an empty-bodied work message, logged as "<what> write socket: ...".
 * Without a work connection nothing is sent and, unless null_what is NULL,
 * "<null_what> parcel is NULL ..." is logged.  0, or -1. */
int work_send_empty(uint32_t msg_cmd, const char *what, const char *null_what);
/* After a modem reset: tells the framework (modem-exception indication),
 * stops the UTRAN service and notifies libwcs; `flag` is why. */
void kro_on_modem_reset_completed(int flag);
/* Voltage-control thread body: applies one 2-byte voltage record (card,
 * type), confirms it to the framework and releases the record. */
void *voltag_control_thread(void *record);
/* Writes the SIM power-on voltage of one card (0 or 1) to its sysfs node. */
void tp_man_interface_usim_voltage_control(uint8_t card_index, uint8_t vol_type);

#ifdef __cplusplus
}
#endif
#endif
