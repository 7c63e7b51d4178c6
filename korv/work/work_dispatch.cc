/* Work-channel dispatcher: decodes each record of the work connection, acts on
 * its command and releases the message before returning (the record belongs
 * to the connection's stream).  Also builds the daemon's outgoing work
 * messages and tells the framework and libwcs that a modem reset completed.
 *
 * Everything here runs on the looper thread except create_work_parcel (under
 * work_send_empty), which voltage-control threads call too; it only reads
 * the work descriptor.  No state is kept between messages. */
#include <string.h>
#include <unistd.h>

#include "ctl/ctl.h"
#include "exception/exception.h"
#include "fwlink/fwlink.h"
#include "kor_msg_cmd.h"
#include "kor_os.h"
#include "korv_log.h"
#include "utran/utran.h"
#include "wcs.h"
#include "work/work.h"

#define VOLTAGE_RECORD_SIZE 2
#define VOLTAGE_PRIORITY (-64)
#define VOLTAGE_SIZE_HINT 10
#define WFCFG_BODY_RESERVED 8 /* body bytes the image size may never claim */
#define TEST_EXCPT_BUF_SIZE 1280
#define TEST_EXCPT_TEXT "^DEXCPTINFO"
#define WF_TYPE_UTRAN 1
#define WF_STATUS_START 1
#define WF_STATUS_STOP 2

/* The daemon never assigns it; whoever injects exception texts does. */
int g_fdTestSocbridgeWrite = 0;

/* A new write parcel for the work channel, or NULL while it is not
 * connected. */
static parcel_write_st *create_work_parcel(uint32_t msg_cmd)
{
    int fd = fw_client_8010.fd.load(std::memory_order_acquire);
    if (fd == -1)
        return NULL;
    sca_header_st header = {};
    header.msg_cmd = msg_cmd;
    parcel_write_st *parcel = parcel_write_new(fd, WORK_PARCEL_CAPACITY, &header);
    if (parcel != NULL)
        parcel->on_write_failed = on_fw_parcel_write_failed;
    return parcel;
}

int work_send_empty(uint32_t msg_cmd, const char *what, const char *null_what)
{
    parcel_write_st *parcel = create_work_parcel(msg_cmd);
    if (parcel == NULL) {
        if (null_what != NULL)
            LOG_CORE_FLOW("[KORV][WORK]%s parcel is NULL maybe connect to fwmd is failed\n", null_what);
        return -1;
    }
    char text[WORK_TEXT_SIZE];
    to_string_writ_parcel(parcel, text, sizeof(text));
    LOG_CORE_FLOW("[KORV][WORK]%s write socket: %s\n", what, text);
    return kro_fw_write_parcel(parcel);
}

static void on_fw_exception_req(void)
{
    work_send_empty(MWRX_WFMGR_FW_EXCEPTION_CNF, "fw_exception", "fw_exception write");
    /* The confirmation leaves first: the framework learns it was heard even
     * when the handling that follows ends the daemon. */
    kro_handle_modem_exception(KRO_EXCEPTION_FW);
}

/* A body of two bytes or less is logged but still carried out; only a body
 * missing the voltage type is dropped, since a guessed type would set a real
 * supply voltage. */
static void on_card_poweron_req(const sca_header_st *header, parcel_read_st *parcel)
{
    if (header->body_len <= VOLTAGE_RECORD_SIZE)
        LOG_CORE_FLOW("[KORV][WORK]MWRX_WF_CARD_POWERON_REPORT_REQ body size is:%d\n",
                      (int)header->body_len);
    if (header->body_len < VOLTAGE_RECORD_SIZE) {
        LOG_CORE_FLOW("[KORV][WORK]MWRX_WF_CARD_POWERON_REPORT_REQ without voltage type dropped\n");
        return;
    }
    uint8_t *record = (uint8_t *)tp_os_mem_malloc(VOLTAGE_RECORD_SIZE);
    if (record == NULL) {
        LOG_CORE_FLOW("[KORV][WORK]MWRX_WF_CARD_POWERON_REPORT_REQ no memory, dropped\n");
        return;
    }
    record[0] = parcel_read_UINT8(parcel);
    record[1] = parcel_read_UINT8(parcel);
    uint64_t tid = tp_os_thread_create("voltage_control", voltag_control_thread, VOLTAGE_PRIORITY, VOLTAGE_SIZE_HINT,
                                       record);
    if (tid == KOR_OS_FAIL) {
        LOG_CORE_FLOW("[KORV][WORK]voltage_control thread create failed, dropped\n");
        tp_os_mem_free(record);
    }
}

/* A body too short for both fields reads as zeros, which names no waveform
 * type, so such an indication only logs. */
static void on_wf_type_ind(parcel_read_st *parcel)
{
    uint32_t status = parcel_read_UINT32(parcel);
    uint32_t type = parcel_read_UINT32(parcel);
    LOG_CORE_FLOW("[KORV][WORK]MWRX_WFMGR_KORGR_WF_TYPE_IND body status:%d, type:%d\n",
                  (int)status, (int)type);
    if (type != WF_TYPE_UTRAN)
        return;
    if (status == WF_STATUS_START)
        start_utran_service();
    else if (status == WF_STATUS_STOP)
        stop_utran_service();
}

/* A body too short to hold `size` reads it as 0 and is rejected as empty. */
static void on_wfcfg_ind(const sca_header_st *header, parcel_read_st *parcel)
{
    uint32_t size = parcel_read_UINT32(parcel);
    LOG_CORE_FLOW("[KORV][WORK]MWRX_WFMGR_WFCFG_IND size:%d\n", (int)size);
    if (size == 0) {
        LOG_CORE_ERR("[KORV]MWRX_WFMGR_WFCFG_IND info is empty!\n");
        return;
    }
    uint64_t limit = header->body_len > WFCFG_BODY_RESERVED ? header->body_len - WFCFG_BODY_RESERVED : 0;
    if (size > limit) {
        LOG_CORE_ERR("[KORV]MWRX_WFMGR_WFCFG_IND size:%d should not bigger than body length %d\n", (int)size,
                     (int)limit);
        return;
    }
    void *info = tp_os_mem_malloc(size);
    if (info == NULL) {
        LOG_CORE_ERR("[KORV]MWRX_WFMGR_WFCFG_IND no memory for %d bytes\n", (int)size);
        return;
    }
    tp_os_mem_set(info, 0, size);
    parcel_read_char_array(parcel, info, size);
    load_utran_wave(info, size);
    tp_os_mem_free(info);
}

static void on_test_excptinfo_req(void)
{
    char buf[TEST_EXCPT_BUF_SIZE];
    memset(buf, 0, sizeof(buf));
    memcpy(buf, TEST_EXCPT_TEXT, sizeof(TEST_EXCPT_TEXT));
    ssize_t ret = write(g_fdTestSocbridgeWrite, buf, sizeof(TEST_EXCPT_TEXT));
    (void)ret;
}

void work_socket_event(int fd, const void *record, size_t length)
{
    parcel_read_st *parcel = NULL;
    sca_header_st *header = parse_sca_header(record, length, &parcel);
    if (header == NULL) {
        LOG_CORE_FLOW("[KORV][WORK]socket_event fd:%d, record of %d bytes has no header, dropped\n", fd,
                      (int)length);
        kro_ctl_stat_link_bad_record(KRO_CTL_LINK_WORK);
        return;
    }
    char text[WORK_TEXT_SIZE];
    to_string_read_parcel(parcel, text, sizeof(text));
    LOG_CORE_FLOW("[KORV][WORK]socket_event fd:%d, %s\n", fd, text);
    LOG_CORE_FLOW("[KORV][WORK]socket_event fd:%d, header: [len:%d, wf_id:%d, msg_cmd:0x%X, body_len:%d]\n", fd,
                  (int)header->len, (int)header->wf_id, (unsigned)header->msg_cmd, (int)header->body_len);

    /* The full 64-bit code is compared: a code with high bits set is no
     * command of this channel. */
    switch (header->msg_cmd) {
    case MWRX_WFMGR_FW_EXCEPTION_REQ:
        on_fw_exception_req();
        break;
    case MWRX_WF_CARD_POWERON_REPORT_REQ:
        on_card_poweron_req(header, parcel);
        break;
    case MWRX_WFMGR_KORGR_WF_TYPE_IND:
        on_wf_type_ind(parcel);
        break;
    case MWRX_WFMGR_WFCFG_IND:
        on_wfcfg_ind(header, parcel);
        break;
    case MWRX_WFMGR_TEST_EXCPTINFO_REQ:
        on_test_excptinfo_req();
        break;
    default:
        break;
    }
    free_parcel_sca_header(header);
    free_parcel_read(parcel);
}

void kro_on_modem_reset_completed(int flag)
{
    int req_from_ap = flag & KRO_EXCEPTION_FW;
    LOG_CORE_FLOW("[KORV][WORK]kro_on_modem_reset_completed, req_from_ap:%d\n",
                  req_from_ap);
    /* The framework asked for this reset itself; only an unasked one is news. */
    if (req_from_ap == 0)
        work_send_empty(MWRX_WFMGR_MODEM_EXCEPTION_IND, "modem_exception", "modem_exception");
    stop_utran_service();
    wcs_modem_exception_notify();
}
