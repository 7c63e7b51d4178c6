/* SIM power-on voltage: one short-lived "voltage_control" thread per request
 * writes the voltage type to the card's sysfs control file and confirms on the
 * work channel.  The thread owns its 2-byte hand-off record (card index,
 * voltage type) and releases it; it shares nothing with the looper but the
 * work socket, whose writes go out whole (write_parcel). */
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "kor_msg_cmd.h"
#include "kor_os.h"
#include "korv_log.h"
#include "kor_platform.h"
#include "work/work.h"

#define VOLTAGE_TEXT_SIZE 10

void tp_man_interface_usim_voltage_control(uint8_t card_index, uint8_t vol_type)
{
    LOG_CORE_FLOW("[KORV][WORK]tp_man_interface_usim_voltage_control card_index:%d, vol_type:%d\n", card_index,
                  vol_type);
    const char *path = card_index == 0 ? USIM_VOLTAGE_PATH : card_index == 1 ? USIM2_VOLTAGE_PATH : NULL;
    int fd = path != NULL ? kor_open(path, O_RDWR) : -1;
    LOG_CORE_FLOW("[KORV][WORK]tp_man_interface_usim_voltage_control fd:%d\n", fd);
    if (fd <= 0) {
        LOG_CORE_FLOW("[KORV][WORK]open /sys/tarno/usim_voltage fail!\n");
        /* Descriptor 0 counts as a failure, yet it is a file we opened. */
        if (fd == 0)
            close(fd);
        return;
    }
    /* The driver takes one character: only the first digit of the type. */
    char text[VOLTAGE_TEXT_SIZE];
    memset(text, 0, sizeof(text));
    snprintf(text, sizeof(text), "%d", vol_type);
    if (write(fd, text, 1) <= 0)
        LOG_CORE_FLOW("[KORV][WORK]write  /sys/tarno/usim_voltage fail!\n");
    close(fd);
}

void *voltag_control_thread(void *arg)
{
    uint8_t *record = (uint8_t *)arg;
    if (record == NULL) {
        LOG_CORE_FLOW("[KORV][WORK]voltag_control_thread param is NULL!\n");
        return NULL;
    }
    tp_man_interface_usim_voltage_control(record[0], record[1]);
    /* Confirmed whatever the write gave: the framework only waits for the
     * answer, the outcome is in the log. */
    work_send_empty(MWRX_WF_CARD_POWERON_REPORT_CNF, "voltag_control", NULL);
    tp_os_mem_free(record);
    return NULL;
}
