/* Capture of the framework links into pcapng: a section header, one
 * interface per link (LINKTYPE_USER0, "work" and "nv", microseconds), then
 * one enhanced packet block per record holding its 4-byte big-endian length
 * and the record, the direction in epb_flags and, for a record korv dropped,
 * an opt_comment "dropped: REASON".  docs/capture.md describes the file.
 *
 * Threads: the links (looper, NV writer, senders) append blocks to the
 * running session's fill buffer; its writer thread "kro_capture" swaps that
 * with the drain buffer and writes it to the file, so a slow disk costs the
 * links nothing but the copy.  The control thread starts and stops
 * captures, and never waits for a writer longer than CAPTURE_STOP_MS: a
 * writer stuck in a write is abandoned, and it frees its session itself
 * once the write returns.
 *
 * s_lock guards s_cur, the figures (s_stat, s_taken, s_gen) and a
 * session's buffer and flags; its drain buffer is its writer's, and its fd,
 * gen and file are set before the writer starts and only read until the
 * session is freed (by the control thread once the writer ended, else by
 * the abandoned writer itself).  A writer that is not abandoned touches its
 * session no more once it has set done.  A link takes it with a short timeout (teardown may send
 * from inside the signal handler while another thread holds it) and counts
 * its record as lost when it cannot. */
#include <endian.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "capture/capture.h"
#include "capture/capture_int.h"
#include "ctl/ctl.h"
#include "kor_msg.h"
#include "kor_os.h"
#include "korv_log.h"

#define CAPTURE_BUF (256u << 10)   /* each of the two buffers */
#define CAPTURE_FLUSH_MS 200       /* the writer's longest nap */
#define CAPTURE_LOCK_NS 20000000L  /* a link's longest wait for s_lock */
#define CAPTURE_STOP_MS 500        /* the control thread's longest wait for a writer */
#define LINKTYPE_USER0 147
#define BLOCK_SHB 0x0A0D0D0Au
#define BLOCK_IDB 1u
#define BLOCK_EPB 6u
#define OPT_COMMENT 1
#define OPT_IF_NAME 2
#define OPT_IF_TSRESOL 9
#define OPT_EPB_FLAGS 2

std::atomic<int> g_capture_on(0);

typedef struct capture_session_st {
    int fd;
    unsigned gen;         /* the capture whose figures it may update */
    char file[128];       /* device path */
    uint8_t *fill;        /* s_lock */
    size_t fill_len;      /* s_lock */
    uint8_t *drain;       /* the writer's */
    int ending;           /* s_lock: write what is buffered and end */
    int abandoned;        /* s_lock: nobody waits any more; the writer frees it */
    int done;             /* s_lock: the writer has ended */
} capture_session_st;

static pthread_mutex_t s_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t s_wake = PTHREAD_COND_INITIALIZER;  /* writers: work or the end */
static pthread_cond_t s_ended = PTHREAD_COND_INITIALIZER; /* control thread: a writer ended */
static capture_session_st *s_cur;   /* s_lock: started and not yet stopped */
static unsigned s_gen;              /* s_lock: captures started so far */
static uint64_t s_taken;            /* s_lock: bytes taken into the running capture */
static kro_capture_stat_st s_stat;  /* s_lock */
static std::atomic<uint64_t> s_lost; /* records that found no room or no lock */

/* ---- block building ---- */

typedef struct capture_out_st {
    uint8_t *at;
} capture_out_st;

static void put32(capture_out_st *o, uint32_t v)
{
    memcpy(o->at, &v, 4); /* pcapng in the writer's byte order (the SHB says which) */
    o->at += 4;
}

static void put16(capture_out_st *o, uint16_t v)
{
    memcpy(o->at, &v, 2);
    o->at += 2;
}

static size_t pad4(size_t n)
{
    return (n + 3) & ~(size_t)3;
}

static void put_bytes(capture_out_st *o, const void *data, size_t n)
{
    memcpy(o->at, data, n);
    memset(o->at + n, 0, pad4(n) - n);
    o->at += pad4(n);
}

static void put_option(capture_out_st *o, uint16_t code, const void *data, size_t n)
{
    put16(o, code);
    put16(o, (uint16_t)n);
    put_bytes(o, data, n);
}

static size_t option_size(size_t n)
{
    return 4 + pad4(n);
}

/* Closes a block begun at start: end of options, trailing length, and the
 * length filled in at the head.  Returns the block's size. */
static size_t end_block(capture_out_st *o, uint8_t *start)
{
    put32(o, 0); /* opt_endofopt */
    uint32_t total = (uint32_t)(o->at - start + 4);
    put32(o, total);
    memcpy(start + 4, &total, 4);
    return total;
}

/* Section header and the two interfaces; the size written to out. */
static size_t file_head(uint8_t *out)
{
    capture_out_st o = {out};
    put32(&o, BLOCK_SHB);
    put32(&o, 0);
    put32(&o, 0x1A2B3C4Du);
    put16(&o, 1);
    put16(&o, 0);
    put32(&o, 0xFFFFFFFFu); /* section length not known */
    put32(&o, 0xFFFFFFFFu);
    size_t size = end_block(&o, out);
    static const char *const names[KRO_CTL_LINKS] = {"work", "nv"};
    for (int link = 0; link < KRO_CTL_LINKS; link++) {
        uint8_t *start = o.at;
        const uint8_t tsresol = 6;
        put32(&o, BLOCK_IDB);
        put32(&o, 0);
        put16(&o, LINKTYPE_USER0);
        put16(&o, 0);
        put32(&o, 0); /* no snap length */
        put_option(&o, OPT_IF_NAME, names[link], strlen(names[link]));
        put_option(&o, OPT_IF_TSRESOL, &tsresol, 1);
        size += end_block(&o, start);
    }
    return size;
}

static size_t epb_size(size_t length, const char *comment, size_t comment_len)
{
    size_t size = 28 + pad4(4 + length) + option_size(4) + 4 + 4;
    if (comment != NULL)
        size += option_size(comment_len);
    return size;
}

static void put_epb(uint8_t *out, int link, int direction, const void *record, size_t length,
                    const char *comment, size_t comment_len)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    uint64_t us = (uint64_t)now.tv_sec * 1000000u + (uint64_t)now.tv_nsec / 1000u;
    uint8_t data[4 + KOR_RECORD_MAX];
    uint32_t be = htobe32((uint32_t)length);
    memcpy(data, &be, 4);
    if (length > 0)
        memcpy(data + 4, record, length);
    capture_out_st o = {out};
    uint32_t flags = (uint32_t)direction;
    put32(&o, BLOCK_EPB);
    put32(&o, 0);
    put32(&o, (uint32_t)link);
    put32(&o, (uint32_t)(us >> 32));
    put32(&o, (uint32_t)us);
    put32(&o, (uint32_t)(4 + length));
    put32(&o, (uint32_t)(4 + length));
    put_bytes(&o, data, 4 + length);
    put_option(&o, OPT_EPB_FLAGS, &flags, 4);
    if (comment != NULL)
        put_option(&o, OPT_COMMENT, comment, comment_len);
    end_block(&o, out);
}

/* ---- the links' side ---- */

const char *kro_capture_drop_reason(const void *record, size_t length)
{
    sca_header_st header;
    if (length < SCA_HEADER_SIZE)
        return "short record";
    return sca_header_read(record, length, &header) != 0 ? "bad header" : NULL;
}

void kro_capture_sent_copy(const uint8_t *data, size_t length, uint8_t *out)
{
    memcpy(out, data, length);
    sca_header_put_lengths(out, length);
}

static void deadline_in(struct timespec *until, long ns)
{
    clock_gettime(CLOCK_REALTIME, until);
    until->tv_nsec += ns;
    until->tv_sec += until->tv_nsec / 1000000000L;
    until->tv_nsec %= 1000000000L;
}

static int lock_briefly(void)
{
    struct timespec until;
    deadline_in(&until, CAPTURE_LOCK_NS);
    return pthread_mutex_timedlock(&s_lock, &until) == 0;
}

/* With s_lock: the capture ends itself at its size limit. */
static void stop_at_limit(capture_session_st *c)
{
    s_stat.limit_reached = 1;
    c->ending = 1;
    g_capture_on.store(0, std::memory_order_relaxed);
    pthread_cond_broadcast(&s_wake);
}

void kro_capture_record(int link, int direction, const void *record, size_t length, const char *dropped)
{
    char comment[64];
    size_t comment_len = 0;
    if (length > KOR_RECORD_MAX)
        length = 0; /* an oversized record never reached korv: its comment says so */
    if (dropped != NULL)
        comment_len = (size_t)snprintf(comment, sizeof(comment), "dropped: %s", dropped);
    const char *note = dropped != NULL ? comment : NULL;
    size_t size = epb_size(length, note, comment_len);
    if (!lock_briefly()) {
        s_lost.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    capture_session_st *c = s_cur;
    if (c == NULL || c->ending) {
        pthread_mutex_unlock(&s_lock);
        return;
    }
    if (s_taken + size > KRO_CAPTURE_LIMIT) {
        stop_at_limit(c);
        /* Once per capture; the file name is s_lock's. */
        LOG_CORE_ERR("[KORV][CAPTURE]%s reached %llu bytes, capture stopped\n", c->file,
                     (unsigned long long)KRO_CAPTURE_LIMIT);
        pthread_mutex_unlock(&s_lock);
        return;
    }
    if (c->fill_len + size > CAPTURE_BUF) {
        s_lost.fetch_add(1, std::memory_order_relaxed);
    } else {
        put_epb(c->fill + c->fill_len, link, direction, record, length, note, comment_len);
        c->fill_len += size;
        s_stat.records++;
        s_taken += size;
        if (c->fill_len > CAPTURE_BUF / 2)
            pthread_cond_broadcast(&s_wake);
    }
    pthread_mutex_unlock(&s_lock);
}

/* ---- the writer ---- */

static void session_free(capture_session_st *c)
{
    if (c->fd >= 0)
        close(c->fd);
    free(c->fill);
    free(c->drain);
    free(c);
}

/* With s_lock, after the write of len bytes: the figures (when they are
 * still this capture's), and on failure the end of the capture with its
 * reason.  What reached the file is the file's size, a short write
 * included. */
static void writer_account(capture_session_st *c, size_t len, int failed, int err)
{
    int mine = c->gen == s_gen;
    if (!failed) {
        if (mine)
            s_stat.bytes += len;
        return;
    }
    struct stat st;
    c->ending = 1;
    c->fill_len = 0;
    if (!mine)
        return;
    if (fstat(c->fd, &st) == 0)
        s_stat.bytes = (uint64_t)st.st_size;
    snprintf(s_stat.failed, sizeof(s_stat.failed), "writing the file failed: %s", strerror(err));
    g_capture_on.store(0, std::memory_order_relaxed);
}

static void *capture_writer(void *arg)
{
    capture_session_st *c = (capture_session_st *)arg;
    tp_os_thread_signal_register();
    int err = 0;
    pthread_mutex_lock(&s_lock);
    while (!c->abandoned && (c->fill_len > 0 || !c->ending)) {
        if (c->fill_len == 0) {
            struct timespec until;
            deadline_in(&until, CAPTURE_FLUSH_MS * 1000000L);
            pthread_cond_timedwait(&s_wake, &s_lock, &until);
            continue;
        }
        uint8_t *full = c->fill;
        size_t len = c->fill_len;
        c->fill = c->drain;
        c->fill_len = 0;
        c->drain = full;
        pthread_mutex_unlock(&s_lock);
        int failed = tp_os_write_all(c->fd, full, len, -1, NULL) != 0;
        err = failed ? errno : 0;
        pthread_mutex_lock(&s_lock);
        writer_account(c, len, failed, err);
    }
    int orphan = c->abandoned;
    /* Once done is set, a stop waiting for it frees the session: what the
     * last line names is copied first. */
    char file[sizeof(c->file)];
    memcpy(file, c->file, sizeof(file));
    c->done = 1;
    pthread_cond_broadcast(&s_ended);
    pthread_mutex_unlock(&s_lock);
    if (err != 0)
        LOG_CORE_ERR("[KORV][CAPTURE]writing %s failed: %s, capture stopped\n", file, strerror(err));
    if (orphan)
        session_free(c);
    return NULL;
}

/* ---- the control thread's side ---- */

static int name_ok(const char *name, size_t len)
{
    if (len == 0 || len > KRO_CAPTURE_NAME_MAX)
        return 0;
    for (size_t i = 0; i < len; i++) {
        char c = name[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
              c == '_'))
            return 0;
    }
    return 1;
}

/* With s_lock: ends c's writer, waiting for it at most CAPTURE_STOP_MS.
 * 1 when it ended (the caller frees c once it lets go of s_lock), 0 when it
 * was abandoned to free c itself. */
static int session_end(capture_session_st *c)
{
    struct timespec until;
    deadline_in(&until, CAPTURE_STOP_MS * 1000000L);
    c->ending = 1;
    g_capture_on.store(0, std::memory_order_relaxed);
    pthread_cond_broadcast(&s_wake);
    while (!c->done && pthread_cond_timedwait(&s_ended, &s_lock, &until) != ETIMEDOUT) {
    }
    if (c->done)
        return 1;
    c->abandoned = 1;
    pthread_cond_broadcast(&s_wake);
    if (c->gen == s_gen)
        snprintf(s_stat.failed, sizeof(s_stat.failed),
                 "the file took no write for %d ms; capture abandoned", CAPTURE_STOP_MS);
    return 0;
}

/* Takes the current session out of s_cur and ends it; its figures stay in
 * s_stat.  -1 when there was none, else whether it ended cleanly (0) or
 * failed (1, the reason in s_stat.failed); its device path goes to path. */
static int session_stop(char *path, size_t cap)
{
    pthread_mutex_lock(&s_lock);
    capture_session_st *c = s_cur;
    s_cur = NULL;
    int ended = c != NULL && session_end(c);
    int failed = s_stat.failed[0] != '\0';
    if (c != NULL)
        snprintf(path, cap, "%s", c->file);
    pthread_mutex_unlock(&s_lock);
    if (ended)
        session_free(c);
    return c == NULL ? -1 : failed;
}

static capture_session_st *session_new(int fd, const char *path)
{
    capture_session_st *c = (capture_session_st *)calloc(1, sizeof(*c));
    if (c == NULL)
        return NULL;
    c->fd = fd;
    snprintf(c->file, sizeof(c->file), "%s", path);
    c->fill = (uint8_t *)malloc(CAPTURE_BUF);
    c->drain = (uint8_t *)malloc(CAPTURE_BUF);
    if (c->fill != NULL && c->drain != NULL) {
        c->fill_len = file_head(c->fill);
        return c;
    }
    c->fd = -1; /* the caller's still */
    session_free(c);
    return NULL;
}

/* With s_lock: c becomes the running capture, its figures start at 0. */
static void session_begin(capture_session_st *c)
{
    c->gen = ++s_gen;
    memset(&s_stat, 0, sizeof(s_stat));
    snprintf(s_stat.file, sizeof(s_stat.file), "%s", c->file);
    s_taken = c->fill_len;
    s_lost.store(0, std::memory_order_relaxed);
    s_cur = c;
    g_capture_on.store(1, std::memory_order_relaxed);
}

int kro_capture_start(const char *name, size_t name_len, char *path, size_t cap, const char **why)
{
    char last[128];
    if (!name_ok(name, name_len)) {
        *why = "bad capture name";
        return -1;
    }
    if (kro_capture_running()) {
        *why = "a capture is running";
        return -1;
    }
    session_stop(last, sizeof(last)); /* one that stopped itself */
    snprintf(path, cap, "%s/%.*s.pcapng", KRO_CAPTURE_DIR, (int)name_len, name);
    int fd = kro_capture_file_create(name, name_len, why);
    if (fd < 0) {
        LOG_CORE_ERR("[KORV][CAPTURE]%s: %s: %s\n", path, *why, strerror(errno));
        return -1;
    }
    capture_session_st *c = session_new(fd, path);
    if (c == NULL) {
        *why = "out of memory";
        close(fd);
        LOG_CORE_ERR("[KORV][CAPTURE]%s: %s\n", path, *why);
        return -1;
    }
    pthread_mutex_lock(&s_lock);
    session_begin(c);
    pthread_mutex_unlock(&s_lock);
    if (tp_os_thread_create("kro_capture", capture_writer, -1, 1, c) == KOR_OS_FAIL) {
        *why = "no writer thread";
        pthread_mutex_lock(&s_lock);
        s_cur = NULL;
        g_capture_on.store(0, std::memory_order_relaxed);
        pthread_mutex_unlock(&s_lock);
        session_free(c);
        LOG_CORE_ERR("[KORV][CAPTURE]%s: %s\n", path, *why);
        return -1;
    }
    LOG_CORE_FLOW("[KORV][CAPTURE]capturing into %s\n", path);
    return 0;
}

int kro_capture_stop(char *path, size_t cap, char *why, size_t why_cap)
{
    int rc = session_stop(path, cap);
    if (rc < 0)
        return -1;
    why[0] = '\0';
    if (rc == 0) {
        LOG_CORE_FLOW("[KORV][CAPTURE]capture %s stopped\n", path);
        return 0;
    }
    kro_capture_stat_st stat;
    kro_capture_stat(&stat);
    snprintf(why, why_cap, "%s; %llu bytes reached the file", stat.failed, (unsigned long long)stat.bytes);
    LOG_CORE_ERR("[KORV][CAPTURE]capture %s failed: %s\n", path, why);
    return 0;
}

void kro_capture_stat(kro_capture_stat_st *stat)
{
    pthread_mutex_lock(&s_lock);
    *stat = s_stat;
    stat->lost = s_lost.load(std::memory_order_relaxed);
    if (!kro_capture_running())
        stat->file[0] = '\0';
    pthread_mutex_unlock(&s_lock);
}
