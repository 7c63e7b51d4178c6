/* Group commit of the NVRAM writer, and the drain that teardown waits for.
 * The writer writes each NV modification at once (so readers of the file see
 * it) and makes it durable in batches: a batch ends when the writer finds no
 * record waiting or after NVRAM_COMMIT_BATCH records, whichever comes first,
 * and then every file the batch wrote is synced (fdatasync) once.  A record
 * is therefore durable at most 64 records, or one empty queue, after it was
 * written, and one sync serves all records a batch wrote to the same file.
 *
 * Ownership: the batch (s_files, s_file_count, s_batch) belongs to the writer
 * thread alone; no lock.  s_pending and s_committed are atomics read without
 * a lock by teardown inside the exit-signal handler: s_pending counts entries
 * that the dispatcher has read (queued, or waiting to be) and the writer has
 * not yet committed; the dispatcher adds, the writer subtracts at each
 * commit.  s_committed only grows, by the writer. */
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "ctl/ctl.h"
#include "nvram/nvram_int.h"

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
    int fd; /* a duplicate of the writer's descriptor, closed once synced */
    char path[NVRAM_COMMIT_PATH_SIZE]; /* device path, for the failure line */
} nvram_commit_file_st;

static nvram_commit_file_st s_files[NVRAM_COMMIT_FILES]; /* writer thread */
static int s_file_count;                                  /* writer thread */
static int s_batch;                                       /* records since the last commit; writer thread */

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

void tp_nvram_commit_note(int fd, const char *path)
{
    for (int i = 0; i < s_file_count; i++)
        if (strcmp(s_files[i].path, path) == 0)
            return;
    int dup_fd = s_file_count < NVRAM_COMMIT_FILES ? fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1;
    if (dup_fd < 0) {
        /* No room to defer it: this one file is made durable now. */
        nvram_sync_fd(fd, path);
        return;
    }
    nvram_commit_file_st *f = &s_files[s_file_count++];
    f->fd = dup_fd;
    snprintf(f->path, sizeof f->path, "%s", path);
}

int tp_nvram_commit_open(void)
{
    return s_batch > 0;
}

void tp_nvram_commit(void)
{
    if (s_batch == 0)
        return;
    int kept = 0;
    for (int i = 0; i < s_file_count; i++) {
        if (nvram_sync_fd(s_files[i].fd, s_files[i].path) == 0)
            close(s_files[i].fd);
        else
            s_files[kept++] = s_files[i]; /* tried again with the next batch */
    }
    s_file_count = kept;
    s_committed.fetch_add(s_batch);
    s_pending.fetch_sub(s_batch);
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
