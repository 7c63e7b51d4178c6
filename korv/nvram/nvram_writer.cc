/* The NVRAM writer thread "thread_man_nvram": takes NV-modify records off
 * "NV_Q" one at a time and writes their bytes into MA or into the NV file of
 * the waveform they name, so that the looper never does file I/O for them.
 * What it writes is made durable in batches (nvram_commit.cc): a batch keeps
 * the files it writes open, each record is counted, and a batch is
 * committed when no record is waiting.  An entry reaches its file whole or
 * not at all: a range without blocks is allocated before the first byte is
 * written, and a write into it that still stops part way is undone from the
 * bytes it covered.
 *
 * Ownership: a record and its data belong to this thread from the moment
 * they are queued; it releases both.  It alone writes through fp_ma_ptr after
 * init.  It reads g_wf_path_info_map only under the map's lock, held while it
 * looks a record up and builds the path from it, because the looper may
 * replace or release that record at any time outside the lock.  s_before
 * (the bytes an entry overwrites, kept for the undo) is this thread's. */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ctl/ctl.h"
#include "kor_os.h"
#include "nvram/nvram_int.h"

#define NVRAM_NV_PATH_SIZE 256
#define NVRAM_ERR_TEXT_SIZE 128

/* What an entry overwrites, for the undo of a write that stops part way.
 * An entry's data comes out of one NV-channel record, so it is never
 * longer. */
static uint8_t s_before[KOR_RECORD_MAX];

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

/* Logs once, at error level, why an entry did not reach `path`, and counts
 * it; always -1. */
static int nvram_write_failed(const char *path, const NVRAM_MODIFY_IND *ind, int err, const char *after)
{
    char text[NVRAM_ERR_TEXT_SIZE];
    LOG_NV_ERR("[NV][FLOW]: write of %llu bytes at %llu to %s failed: %s%s\n", (unsigned long long)ind->len,
               (unsigned long long)ind->offset, path, strerror_r(err, text, sizeof text), after);
    kro_ctl_stat_nv_write_failed();
    return -1;
}

/* What the writer knows of the file it wrote last: its size and whether it
 * has a block for every byte of it.  Good while the batch that opened the
 * descriptor is open (a committed batch closes its files, and the number
 * may come back for another); between records an fstat costs about a
 * third of the NV rate.  A file changed behind korv's back meanwhile is
 * seen at the next batch.  Writer thread. */
typedef struct nvram_known_st {
    int fd;        /* -1: nothing known */
    uint64_t size;
    int dense;     /* korv never punches holes: inside a dense file every range has its blocks */
} nvram_known_st;
static nvram_known_st s_known = {-1, 0, 0};

static void nvram_forget(void)
{
    s_known.fd = -1;
}

/* Fills s_known for fd; 0, or -1 with errno. */
static int nvram_look(int fd)
{
    if (s_known.fd == fd)
        return 0;
    struct stat st;
    if (fstat(fd, &st) != 0)
        return -1;
    uint64_t unit = st.st_blksize > 0 ? (uint64_t)st.st_blksize : 1;
    uint64_t rounded = ((uint64_t)st.st_size + unit - 1) / unit * unit;
    /* A file whose metadata blocks make up for a hole passes too; a write
     * into that hole on a full disk then fails part way, seen and logged. */
    s_known = {fd, (uint64_t)st.st_size, (uint64_t)st.st_blocks * 512 >= rounded};
    return 0;
}

/* 1 when the entry's range has its blocks already. */
static int nvram_allocated(const NVRAM_MODIFY_IND *ind)
{
    return ind->offset + ind->len <= s_known.size && s_known.dense;
}

/* The entry went in: the file grew to its end, with a hole in front of it
 * when it started past the old end. */
static void nvram_grew(const NVRAM_MODIFY_IND *ind)
{
    if (ind->offset > s_known.size)
        s_known.dense = 0;
    if (ind->offset + ind->len > s_known.size)
        s_known.size = ind->offset + ind->len;
}

/* Allocates the entry's range before a byte of it is written, so that a
 * range past the file's end or over a hole fails on a full disk here, with
 * the file untouched.  The size is kept: the write itself extends the file,
 * and a failed one must not.  A file system without fallocate is written as
 * it comes. */
static int nvram_reserve(int fd, const NVRAM_MODIFY_IND *ind)
{
    int rc;
    do
        rc = fallocate(fd, FALLOC_FL_KEEP_SIZE, (off_t)ind->offset, (off_t)ind->len);
    while (rc != 0 && errno == EINTR);
    return rc == 0 || errno == EOPNOTSUPP || errno == ENOSYS ? 0 : -1;
}

/* Puts back what a write that stopped part way had overwritten: the old
 * bytes, and the old size when the entry reached past the old end.  0 when
 * the file is as it was. */
static int nvram_undo(int fd, const NVRAM_MODIFY_IND *ind, size_t before, off_t old_size)
{
    int rc = tp_os_write_all(fd, s_before, before, (int64_t)ind->offset, NULL);
    if (ind->offset + ind->len > (uint64_t)old_size && ftruncate(fd, old_size) != 0)
        rc = -1;
    return rc;
}

/* Writes the entry's data at its offset through the descriptor (the
 * handles are never used for buffered writes), whole or not at all; 0, or
 * -1 (logged with the path and counted) when the file did not take it.
 *
 * A range whose blocks exist is written as it is: no allocation, and no
 * copy of the old bytes, since nothing but an I/O error can stop a write
 * into allocated page-cache pages part way (and the write-all finishes a
 * short one).  Either call costs about as much as the write itself, per
 * entry, on the hot path.  Any other range is allocated first and its old
 * bytes kept for the undo. */
static int nvram_write_at(int fd, const char *path, const NVRAM_MODIFY_IND *ind)
{
    if (ind->len == 0)
        return 0;
    if (ind->len > sizeof s_before)
        return nvram_write_failed(path, ind, EFBIG, "");
    if (nvram_look(fd) != 0)
        return nvram_write_failed(path, ind, errno, "");
    int allocated = nvram_allocated(ind);
    uint64_t old_size = s_known.size;
    ssize_t before = 0;
    if (!allocated) {
        if (nvram_reserve(fd, ind) != 0)
            return nvram_write_failed(path, ind, errno, "");
        before = pread(fd, s_before, (size_t)ind->len, (off_t)ind->offset);
        if (before < 0)
            return nvram_write_failed(path, ind, errno, "");
    }
    size_t done = 0;
    if (tp_os_write_all(fd, ind->data, (size_t)ind->len, (int64_t)ind->offset, &done) == 0) {
        nvram_grew(ind);
        return 0;
    }
    int err = errno;
    if (done == 0)
        return nvram_write_failed(path, ind, err, "");
    int undone = !allocated && nvram_undo(fd, ind, (size_t)before, (off_t)old_size) == 0;
    nvram_forget();
    return nvram_write_failed(path, ind, err, undone ? ", the part written undone" : ", the part written NOT undone");
}

static int nvram_write_ma(const NVRAM_MODIFY_IND *ind)
{
    /* Written through the descriptor, so nothing waits in stdio: the process
     * ends with _exit from its signal handler. */
    int fd = fileno(fp_ma_ptr);
    int rc = nvram_write_at(fd, nvram_ma_path(), ind);
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
    int rc = nvram_write_at(fileno(fp), path, ind);
    if (!kept) {
        tp_nvram_sync_file(fp, path);
        rc = tp_fclose(fp) == 0 ? rc : -1;
        nvram_forget();
    }
    return rc;
}

static void nvram_apply(const NVRAM_MODIFY_IND *ind)
{
    /* The last batch was committed: its descriptors are closed. */
    if (!tp_nvram_commit_open())
        nvram_forget();
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
