/* Group commit of the NVRAM writer, and the drain that teardown waits for.
 * The writer writes each NV modification at once (so readers of the file see
 * it) into files it keeps open for the current batch, and makes them durable
 * in batches: a batch ends when the writer finds no record waiting or after
 * NVRAM_COMMIT_BATCH records, whichever comes first, and then every file the
 * batch wrote is synced (fdatasync) once and closed.  A record is therefore
 * durable at most 64 records, or one empty queue, after it was written, and
 * one open and one sync serve all the records a batch wrote to the same
 * file.  A file replaced under its path while a batch runs gets the rest of
 * that batch's writes in the file that was opened.
 *
 * The sync stays on the writer thread.  A sync thread that overlapped it
 * with the next batch's writes was tried and measured slower: the disk's
 * flush completes through a normal-priority kernel worker, which the
 * real-time writer and looper starve while both keep their CPUs busy
 * (bench/README.md).
 *
 * Ownership: the batch (s_batch_files, s_batch) belongs to the writer thread
 * alone; no lock.  s_pending and s_committed are atomics read without a lock
 * by teardown inside the exit-signal handler: s_pending counts entries that
 * the dispatcher has read (queued, or waiting to be) and the writer has not
 * yet committed; the dispatcher adds, the writer subtracts at each commit.
 * s_committed only grows, by the writer. */
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "ctl/ctl.h"
#include "nvram/nvram_int.h"
#include "trust/trust.h"

/* Records after which a batch is committed even while more are waiting. */
#define NVRAM_COMMIT_BATCH 64
/* Files one batch can hold: its own records' files plus those whose sync
 * failed before and are tried again.  A file beyond that is synced at once. */
#define NVRAM_COMMIT_FILES 80
#define NVRAM_COMMIT_PATH_SIZE 256
#define NVRAM_ERR_TEXT_SIZE 128
/* What teardown grants the writer to finish and sync what it has read. */
#define NVRAM_DRAIN_NS 1500000000LL
#define NVRAM_DRAIN_POLL_NS 1000000L

typedef struct nvram_commit_file_st {
    FILE *fp;     /* the batch's handle: written through its descriptor, closed once synced */
    int fd;       /* fileno(fp), or a duplicate of MA's descriptor when fp is NULL */
    char path[NVRAM_COMMIT_PATH_SIZE]; /* device path: the key, and the failure line's */
} nvram_commit_file_st;

typedef struct nvram_commit_set_st {
    nvram_commit_file_st files[NVRAM_COMMIT_FILES];
    int count;
} nvram_commit_set_st;

/* The batch's files; after a commit, those whose sync failed, to be tried
 * again with the next batch.  Writer thread. */
static nvram_commit_set_st s_batch_files;
static int s_batch; /* records since the last commit; writer thread */

static std::atomic<int64_t> s_pending{0};    /* dispatcher adds, writer subtracts */
static std::atomic<int64_t> s_committed{0};  /* writer adds */

/* fdatasync with the failure logged; 0 or -1. */
static int nvram_sync_fd(int fd, const char *path)
{
    if (fdatasync(fd) == 0) {
        kro_ctl_stat_nv_synced();
        return 0;
    }
    char text[NVRAM_ERR_TEXT_SIZE];
    int err = errno;
    LOG_NV_ERR("[NV][FLOW]: sync of %s failed: %s\n", path, strerror_r(err, text, sizeof text));
    return -1;
}

int tp_nvram_sync_file(FILE *fp, const char *path)
{
    return nvram_sync_fd(fileno(fp), path);
}

/* Syncs a set's files and closes those that synced; the others stay, to be
 * tried again with the next batch.  Then counts the batch's records as
 * committed. */
static void nvram_sync_set(nvram_commit_set_st *set, int records)
{
    int kept = 0;
    for (int i = 0; i < set->count; i++) {
        nvram_commit_file_st *f = &set->files[i];
        if (nvram_sync_fd(f->fd, f->path) != 0)
            set->files[kept++] = *f;
        else if (f->fp != NULL)
            tp_fclose(f->fp);
        else
            close(f->fd);
    }
    set->count = kept;
    s_committed.fetch_add(records);
    s_pending.fetch_sub(records);
}

/* Adds a file to the open batch; -1 when the batch is full. */
static int nvram_batch_add(FILE *fp, int fd, const char *path)
{
    if (s_batch_files.count >= NVRAM_COMMIT_FILES)
        return -1;
    nvram_commit_file_st *f = &s_batch_files.files[s_batch_files.count++];
    f->fp = fp;
    f->fd = fd;
    snprintf(f->path, sizeof f->path, "%s", path);
    return 0;
}

FILE *tp_nvram_batch_file(const char *path, int *kept)
{
    *kept = 1;
    for (int i = 0; i < s_batch_files.count; i++)
        if (s_batch_files.files[i].fp != NULL && strcmp(s_batch_files.files[i].path, path) == 0)
            return s_batch_files.files[i].fp;
    FILE *fp = kro_trust_fopen(path, "r+");
    if (fp != NULL && nvram_batch_add(fp, fileno(fp), path) != 0)
        *kept = 0;
    return fp;
}

void tp_nvram_batch_ma(int fd, const char *path)
{
    for (int i = 0; i < s_batch_files.count; i++)
        if (s_batch_files.files[i].fp == NULL && strcmp(s_batch_files.files[i].path, path) == 0)
            return;
    int dup_fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (dup_fd < 0 || nvram_batch_add(NULL, dup_fd, path) != 0) {
        if (dup_fd >= 0)
            close(dup_fd);
        nvram_sync_fd(fd, path); /* no room to defer it: durable now */
    }
}

int tp_nvram_commit_open(void)
{
    return s_batch > 0;
}

void tp_nvram_commit(void)
{
    if (s_batch == 0)
        return;
    nvram_sync_set(&s_batch_files, s_batch);
    s_batch = 0;
}

void tp_nvram_commit_count(void)
{
    if (++s_batch >= NVRAM_COMMIT_BATCH)
        tp_nvram_commit();
}

void tp_nvram_pending_add(int n)
{
    s_pending.fetch_add(n);
}

static int64_t nvram_now_ns(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

/* Async-signal-safe, like tp_nvram_drain_end: atomics and the clock only. */
void tp_nvram_drain_begin(nvram_drain_st *d)
{
    d->committed = s_committed.load();
    d->deadline_ns = nvram_now_ns() + NVRAM_DRAIN_NS;
}

void tp_nvram_drain_end(const nvram_drain_st *d)
{
    /* The writer drains on its own: it never stops taking records, and it
     * commits as soon as none is waiting.  Teardown only waits for it, in
     * short sleeps, never on a lock. */
    const struct timespec poll = {0, NVRAM_DRAIN_POLL_NS};
    while (s_pending.load() > 0 && nvram_now_ns() < d->deadline_ns)
        nanosleep(&poll, NULL);
    int64_t left = s_pending.load();
    LOG_NV_FLOW("[NV][FLOW]: drained %d queued modifications\n", (int)(s_committed.load() - d->committed));
    if (left > 0)
        LOG_NV_FLOW("[NV][FLOW]: stop left %d queued modifications\n", (int)left);
}
