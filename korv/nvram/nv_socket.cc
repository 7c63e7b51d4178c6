/* The NV-channel dispatcher: decodes each record of the NV connection and
 * handles path-info indications (the path-info map) and NV-modify
 * indications (records queued for the writer thread); load requests go to
 * nvram_load.cc.
 *
 * Ownership: runs only on the looper thread, which is the only code that
 * changes g_wf_path_info_map.  Each change (put, remove, release of a
 * replaced or removed record) happens under the map's lock, which the writer
 * thread holds while it reads a record, so the writer never sees a released
 * record.  The looper's own reads need no lock.  Decoding never trusts a
 * count or length beyond the bytes the body still holds. */
#include <string.h>

#include "ctl/ctl.h"
#include "kor_msg_cmd.h"
#include "kor_os.h"
#include "nvram/nvram_int.h"

#define NV_RENDER_SIZE 640
/* flag, wf_id, offset and len of one NV-modify entry */
#define NV_ENTRY_HEAD_SIZE 16

bool dump_wf_path_info_map(void *key, void *value, void *context)
{
    (void)context;
    const path_info *info = (const path_info *)value;
    LOG_NV_FLOW("[NV][FLOW]: dump_wf_path_info_map: wf_id=%d, path_info.wf_id=%d,                   "
                "wf_name=%s, wf_path=%s, nv_file_name=%s\n",
                *(const int32_t *)key, (int)info->wf_id, info->wf_name, info->wf_path,
                info->nv_file_name);
    return true;
}

/* Reads a fixed text field and cuts it to one character less when it holds
 * no NUL, so every stored field ends inside its size. */
static void nv_read_text(parcel_read_st *parcel, char *field, size_t size)
{
    parcel_read_char_array(parcel, field, size);
    field[size - 1] = '\0';
}

/* Stores rec under its own wf_id.  A record already there is taken out
 * first, so that the map's key never points into a released record. */
static void nv_path_store(path_info *rec)
{
    hashmapLock(g_wf_path_info_map);
    path_info *old = (path_info *)hashmapRemove(g_wf_path_info_map, &rec->wf_id);
    hashmapPut(g_wf_path_info_map, &rec->wf_id, rec);
    tp_os_mem_free(old);
    hashmapUnlock(g_wf_path_info_map);
}

static void nv_path_remove(uint64_t wf_id)
{
    uint64_t key = nvram_wf_key(wf_id);
    hashmapLock(g_wf_path_info_map);
    tp_os_mem_free(hashmapRemove(g_wf_path_info_map, &key));
    hashmapUnlock(g_wf_path_info_map);
}

/* Reads a path record; it is stored only when the body held all of it. */
static void nv_path_info_add(parcel_read_st *parcel)
{
    path_info *rec = (path_info *)tp_os_mem_malloc(sizeof *rec);
    if (rec == NULL) {
        LOG_NV_ERR("[NV][FLOW]: MWRX_WFMGR_COMM_PATH_INFO_IND no memory for a path record\n");
        return;
    }
    tp_os_mem_set(rec, 0, sizeof *rec);
    rec->wf_id = parcel_read_UINT32(parcel);
    nv_read_text(parcel, rec->wf_name, sizeof rec->wf_name);
    rec->status = 0;
    LOG_NV_FLOW("[NV][FLOW]: MWRX_WFMGR_COMM_PATH_INFO_IND wf_id=%d, wf_name=%s, status=%d\n",
                (int)rec->wf_id, rec->wf_name, (int)rec->status);
    nv_read_text(parcel, rec->wf_path, sizeof rec->wf_path);
    nv_read_text(parcel, rec->nv_file_name, sizeof rec->nv_file_name);
    LOG_NV_FLOW("[NV][FLOW]: MWRX_WFMGR_COMM_PATH_INFO_IND wf_name=%s wf_path=%s nv_file_name=%s \n",
                rec->wf_name, rec->wf_path, rec->nv_file_name);
    if (parcel_read_overrun(parcel)) {
        LOG_NV_ERR("[NV][FLOW]: MWRX_WFMGR_COMM_PATH_INFO_IND body too short, wf_id=%d not stored\n",
                   (int)rec->wf_id);
        tp_os_mem_free(rec);
        return;
    }
    nv_path_store(rec);
}

static void nv_path_info_ind(parcel_read_st *parcel)
{
    if (g_wf_path_info_map == NULL) {
        LOG_NV_ERR("[NV][FLOW]: MWRX_WFMGR_COMM_PATH_INFO_IND NVRAM store not up, dropped\n");
        return;
    }
    uint32_t selector = parcel_read_UINT32(parcel);
    if (selector == 1) {
        nv_path_info_add(parcel);
    } else {
        uint64_t wf_id = parcel_read_UINT32(parcel);
        LOG_NV_FLOW("[NV][FLOW]: MWRX_WFMGR_COMM_PATH_INFO_IND wf_id: 0x%X\n", (unsigned)wf_id);
        if (parcel_read_overrun(parcel))
            LOG_NV_ERR("[NV][FLOW]: MWRX_WFMGR_COMM_PATH_INFO_IND body too short, nothing removed\n");
        else
            nv_path_remove(wf_id);
    }
    hashmapForEach(g_wf_path_info_map, dump_wf_path_info_map, NULL);
}

/* Decodes the entry logged with index i into a fresh record, or NULL (with
 * a log line) when the body does not hold the whole entry. */
static NVRAM_MODIFY_IND *nv_read_entry(parcel_read_st *parcel, int i)
{
    NVRAM_MODIFY_IND *ind = (NVRAM_MODIFY_IND *)tp_os_mem_malloc(sizeof *ind);
    if (ind == NULL) {
        LOG_NV_ERR("[NV][FLOW]: MWRX_WFMGR_NV_MODIFY_IND: no memory for entry %d\n", i);
        return NULL;
    }
    tp_os_mem_set(ind, 0, sizeof *ind);
    ind->flag = parcel_read_UINT32(parcel);
    LOG_NV_FLOW("[NV][FLOW]: MWRX_WFMGR_NV_MODIFY_IND: NVRAM_MODIFY_IND[%d] flag=%d\n", i,
                (int)ind->flag);
    ind->wf_id = parcel_read_UINT32(parcel);
    LOG_NV_FLOW("[NV][FLOW]: MWRX_WFMGR_NV_MODIFY_IND: NVRAM_MODIFY_IND[%d] wf_id=%d\n", i,
                (int)ind->wf_id);
    ind->offset = parcel_read_UINT32(parcel);
    LOG_NV_FLOW("[NV][FLOW]: MWRX_WFMGR_NV_MODIFY_IND: NVRAM_MODIFY_IND[%d] offset=%d\n", i,
                (int)ind->offset);
    ind->len = parcel_read_UINT32(parcel);
    LOG_NV_FLOW("[NV][FLOW]: MWRX_WFMGR_NV_MODIFY_IND: NVRAM_MODIFY_IND[%d] len=%d\n", i,
                (int)ind->len);
    if (parcel_read_overrun(parcel) || ind->len > parcel_read_remaining(parcel)) {
        LOG_NV_ERR("[NV][FLOW]: MWRX_WFMGR_NV_MODIFY_IND: NVRAM_MODIFY_IND[%d] body ends before its "
                   "data, dropped\n",
                   i);
        goto free_ind;
    }
    /* One byte more than the data: a terminator for the log rendering, and a
     * real buffer for len 0, whose entry still travels to the writer. */
    ind->data = (uint8_t *)tp_os_mem_malloc(ind->len + 1);
    if (ind->data == NULL) {
        LOG_NV_ERR("[NV][FLOW]: MWRX_WFMGR_NV_MODIFY_IND: no memory for entry %d data\n", i);
        goto free_ind;
    }
    tp_os_mem_set(ind->data, 0, ind->len + 1);
    parcel_read_char_array(parcel, ind->data, ind->len);
    LOG_NV_FLOW("[NV][FLOW]: MWRX_WFMGR_NV_MODIFY_IND: NVRAM_MODIFY_IND[%d] data=%.*s\n", i,
                nvram_log_len(ind->len), (const char *)ind->data);
    return ind;
free_ind:
    tp_os_mem_free(ind);
    return NULL;
}

static void nv_modify_ind(parcel_read_st *parcel)
{
    uint32_t n = parcel_read_UINT32(parcel);
    LOG_NV_FLOW("[NV][FLOW]: MWRX_WFMGR_NV_MODIFY_IND N=%d\n", (int)n);

    for (uint32_t done = 0; done < n; done++) {
        int i = (int)(n - 1 - done);
        if (parcel_read_remaining(parcel) < NV_ENTRY_HEAD_SIZE) {
            LOG_NV_ERR("[NV][FLOW]: MWRX_WFMGR_NV_MODIFY_IND body ends after %u of %u entries\n",
                       (unsigned)done, (unsigned)n);
            return;
        }
        LOG_NV_FLOW("[NV][FLOW]: MWRX_WFMGR_NV_MODIFY_IND while(%d)\n", i);
        NVRAM_MODIFY_IND *ind = nv_read_entry(parcel, i);
        if (ind == NULL)
            return;
        LOG_NV_FLOW("[NV][FLOW]: MWRX_WFMGR_NV_MODIFY_IND: NVRAM_MODIFY_IND[%d] modify_ind =%p\n", i,
                    (void *)ind);
        /* Blocks while the writer is 1000 records behind.  A record the queue
         * refuses (no writer) is released here, never leaked.  Counted
         * before the send, so the writer's count never runs ahead of it
         * (queued = written + dropped once the writer is idle), and a stop
         * that finds this thread blocked here still waits for the entry. */
        kro_ctl_stat_nv_queued();
        tp_nvram_pending_add(1);
        if (tp_os_queue_send(man_nvram_qid, ind, KOR_OS_WAIT_FOREVER) != 0) {
            LOG_NV_ERR("[NV][FLOW]: MWRX_WFMGR_NV_MODIFY_IND: NVRAM_MODIFY_IND[%d] not queued\n", i);
            kro_ctl_stat_nv_dropped();
            tp_nvram_pending_add(-1);
            tp_os_mem_free(ind->data);
            tp_os_mem_free(ind);
        }
    }
}

void socket_event(int fd, const void *record, size_t length)
{
    parcel_read_st *parcel = NULL;
    sca_header_st *header = parse_sca_header(record, length, &parcel);
    if (header == NULL) {
        /* the codec has logged why the record has no header */
        kro_ctl_stat_link_bad_record(KRO_CTL_LINK_NV);
        return;
    }
    char text[NV_RENDER_SIZE] = {0};
    to_string_read_parcel(parcel, text, sizeof text);
    LOG_NV_FLOW("[NV][FLOW]:socket_event fd:%d, %s\n", fd, text);
    LOG_NV_FLOW("[NV][FLOW]:socket_event fd:%d, header: [len:%d, wf_id:%d, msg_cmd:0x%X, "
                "body_len:%d]\n",
                fd, (int)header->len, (int)header->wf_id, (unsigned)header->msg_cmd,
                (int)header->body_len);

    switch ((uint32_t)header->msg_cmd) {
    case MWRX_WFMGR_COMM_PATH_INFO_IND:
        nv_path_info_ind(parcel);
        break;
    case MWRX_WFMGR_NV_MODIFY_IND:
        nv_modify_ind(parcel);
        break;
    case MWRX_WFMGR_LOAD_REQ:
        tp_nvram_load_req(fd, header, parcel);
        break;
    default:
        /* Not korv's to take: no line beyond the two above, only the count. */
        kro_ctl_stat_nv_unknown_cmd();
        break;
    }
    free_parcel_sca_header(header);
    free_parcel_read(parcel);
}
