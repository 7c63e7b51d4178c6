/* The NVRAM writer thread "thread_man_nvram": takes NV-modify records off
 * "NV_Q" one at a time and writes their bytes into MA or into the NV file of
 * the waveform they name, so that the looper never does file I/O for them.
 * What it writes is made durable in batches (nvram_commit.cc): a batch keeps
 * the files it writes open, each record is counted, and a batch is
 * committed when no record is waiting.
 *
 * Ownership: a record and its data belong to this thread from the moment
 * they are queued; it releases both.  It alone writes through fp_ma_ptr after
 * init.  It reads g_wf_path_info_map only under the map's lock, held while it
 * looks a record up and builds the path from it, because the looper may
 * replace or release that record at any time outside the lock. */
#include <errno.h>
#include <stdio.h>
#include <unistd.h>

#include "ctl/ctl.h"
#include "kor_os.h"
#include "nvram/nvram_int.h"

#define NVRAM_NV_PATH_SIZE 256

/* Builds "<wf_path>/<nv_file_name>" of the waveform into path; -1 when the
 * map holds no record for wf_id. */
static int nvram_nv_file_path(uint64_t wf_id, char *path, size_t cap)
{
    uint64_t key = nvram_wf_key(wf_id);
    int rc = -1;

    hashmapLock(g_wf_path_info_map);
    path_info *info = (path_info *)hashmapGet(g_wf_path_info_map, &key);
    if (info != NULL) {
        snprintf(path, cap, "%s/%s", info->wf_path, info->nv_file_name);
        rc = 0;
    }
    hashmapUnlock(g_wf_path_info_map);
    return rc;
}

/* Writes the entry's data at its offset through the descriptor (the
 * handles are never used for buffered writes); 0, or -1 when the bytes did
 * not all reach the file. */
static int nvram_write_at(int fd, const NVRAM_MODIFY_IND *ind)
{
    const uint8_t *p = ind->data;
    uint64_t left = ind->len;
    off_t at = (off_t)ind->offset;
    while (left > 0) {
        ssize_t n = pwrite(fd, p, left, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        p += n;
        left -= (uint64_t)n;
        at += n;
    }
    return 0;
}

static int nvram_write_ma(const NVRAM_MODIFY_IND *ind)
{
    /* Written through the descriptor, so nothing waits in stdio: the process
     * ends with _exit from its signal handler. */
    int fd = fileno(fp_ma_ptr);
    int rc = nvram_write_at(fd, ind);
    tp_nvram_batch_ma(fd, nvram_ma_path());
    return rc;
}

static int nvram_write_nv_file(const NVRAM_MODIFY_IND *ind)
{
    char path[NVRAM_NV_PATH_SIZE] = {0};
    if (nvram_nv_file_path(ind->wf_id, path, sizeof path) != 0)
        return -1;
    /* The framework named this path: it is opened through the confinement
     * check, and a refused path is lost as a file that cannot be opened. */
    int kept = 1;
    FILE *fp = tp_nvram_batch_file(path, &kept);
    LOG_NV_FLOW("[NV][FLOW]: tp_open,fileid = 0x%x, %s\n", (unsigned)(uintptr_t)fp, path);
    if (fp == NULL)
        return -1;
    int rc = nvram_write_at(fileno(fp), ind);
    if (!kept) {
        tp_nvram_sync_file(fp, path);
        rc = tp_fclose(fp) == 0 ? rc : -1;
    }
    return rc;
}

static void nvram_apply(const NVRAM_MODIFY_IND *ind)
{
    LOG_NV_FLOW("[NV][FLOW]: man_nvram_entry: NVRAM_MODIFY_IND flag=%d\n", (int)ind->flag);
    LOG_NV_FLOW("[NV][FLOW]: man_nvram_entry: NVRAM_MODIFY_IND wf_id=%d\n", (int)ind->wf_id);
    LOG_NV_FLOW("[NV][FLOW]: man_nvram_entry: NVRAM_MODIFY_IND offset=%d\n", (int)ind->offset);
    LOG_NV_FLOW("[NV][FLOW]: man_nvram_entry: NVRAM_MODIFY_IND len=%d\n", (int)ind->len);
    LOG_NV_FLOW("[NV][FLOW]: man_nvram_entry: NVRAM_MODIFY_IND data=%.*s\n", nvram_log_len(ind->len),
                ind->data ? (const char *)ind->data : "");
    int rc = -1;
    if (ind->data != NULL && ind->wf_id == NVRAM_WF_ID_MA)
        rc = fp_ma_ptr != NULL ? nvram_write_ma(ind) : -1;
    else if (ind->data != NULL)
        rc = nvram_write_nv_file(ind);
    if (rc == 0)
        kro_ctl_stat_nv_written(ind->len);
    else
        kro_ctl_stat_nv_dropped();
}

void *man_nvram_entry(void *arg)
{
    (void)arg;
    tp_os_thread_signal_register();
    for (;;) {
        void *msg = NULL;
        /* With a batch open, only a look: an empty queue commits it. */
        uint32_t wait = tp_nvram_commit_open() ? 0 : KOR_OS_WAIT_FOREVER;
        if (tp_os_queue_receive(man_nvram_qid, &msg, wait) != 0) {
            tp_nvram_commit();
            continue;
        }
        LOG_NV_FLOW("[NV][FLOW]: man_nvram_entry: NVRAM_MODIFY_IND msg_ptr=%p\n", msg);
        if (msg == NULL)
            continue;
        NVRAM_MODIFY_IND *ind = (NVRAM_MODIFY_IND *)msg;
        nvram_apply(ind);
        tp_os_mem_free(ind->data);
        tp_os_mem_free(ind);
        tp_nvram_commit_count();
    }
    return NULL;
}
