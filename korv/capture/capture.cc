/* Capture of the framework links into pcapng: a section header, one
 * interface per link (LINKTYPE_USER0, "work" and "nv", microseconds), then
 * one enhanced packet block per record holding its 4-byte big-endian length
 * and the record, the direction in epb_flags and, for a record korv dropped,
 * an opt_comment "dropped: REASON".  docs/capture.md describes the file.
 *
 * Threads: the links (looper, NV writer, senders) append blocks to s_fill;
 * the writer thread "kro_capture" swaps it with s_drain and writes that to
 * the file, so a slow disk costs the links nothing but the copy.  The
 * control thread starts and stops captures, and owns s_thread and s_fd
 * while no writer runs.  s_lock guards s_fill, s_fill_len, s_ending and the
 * figures; a link takes it with a short timeout (teardown may send from
 * inside the signal handler while another thread holds it) and counts its
 * record as lost when it cannot.  s_drain belongs to the writer. */
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
#include "ctl/ctl.h"
#include "kor_msg.h"
#include "kor_platform.h"
#include "korv_log.h"

#define CAPTURE_BUF (256u << 10)   /* each of the two buffers */
#define CAPTURE_FLUSH_MS 200       /* the writer's longest nap */
#define CAPTURE_LOCK_NS 20000000L  /* a link's longest wait for s_lock */
#define CAPTURE_DIR_MODE 0770
#define CAPTURE_FILE_MODE 0640
#define LINKTYPE_USER0 147
#define BLOCK_SHB 0x0A0D0D0Au
#define BLOCK_IDB 1u
#define BLOCK_EPB 6u
#define OPT_COMMENT 1
#define OPT_IF_NAME 2
#define OPT_IF_TSRESOL 9
#define OPT_EPB_FLAGS 2

std::atomic<int> g_capture_on(0);

static pthread_mutex_t s_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t s_wake = PTHREAD_COND_INITIALIZER; /* with s_lock */
static uint8_t *s_fill;       /* s_lock */
static size_t s_fill_len;     /* s_lock */
static int s_ending;          /* s_lock: the writer flushes and ends */
static kro_capture_stat_st s_stat; /* s_lock */
static uint8_t *s_drain;      /* writer thread */
static int s_fd = -1;         /* control thread; the writer writes it while it runs */
static pthread_t s_thread;    /* control thread */
static int s_thread_live;     /* control thread */
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
    if (length < SCA_HEADER_SIZE)
        return "short record";
    uint64_t len = 0, body_len = 0;
    memcpy(&len, (const uint8_t *)record, 8);
    memcpy(&body_len, (const uint8_t *)record + 28, 8);
    len = le64toh(len);
    body_len = le64toh(body_len);
    return len != length || body_len != length - SCA_HEADER_SIZE ? "bad header" : NULL;
}

void kro_capture_sent_copy(const uint8_t *data, size_t length, uint8_t *out)
{
    memcpy(out, data, length);
    uint64_t len = htole64(length), body_len = htole64(length - SCA_HEADER_SIZE);
    memcpy(out, &len, 8);
    memcpy(out + 28, &body_len, 8);
}

static int lock_briefly(void)
{
    struct timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_nsec += CAPTURE_LOCK_NS;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec++;
        until.tv_nsec -= 1000000000L;
    }
    return pthread_mutex_timedlock(&s_lock, &until) == 0;
}

/* With s_lock: the capture ends itself at its size limit. */
static void stop_at_limit(void)
{
    s_stat.limit_reached = 1;
    s_ending = 1;
    g_capture_on.store(0, std::memory_order_relaxed);
    pthread_cond_signal(&s_wake);
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
    if (s_ending || s_fill == NULL) {
        pthread_mutex_unlock(&s_lock);
        return;
    }
    if (s_stat.bytes + size > KRO_CAPTURE_LIMIT) {
        stop_at_limit();
        /* Once per capture; the file name is s_lock's. */
        LOG_CORE_ERR("[KORV][CAPTURE]%s reached %llu bytes, capture stopped\n", s_stat.file,
                     (unsigned long long)KRO_CAPTURE_LIMIT);
        pthread_mutex_unlock(&s_lock);
        return;
    }
    if (s_fill_len + size > CAPTURE_BUF) {
        s_lost.fetch_add(1, std::memory_order_relaxed);
    } else {
        put_epb(s_fill + s_fill_len, link, direction, record, length, note, comment_len);
        s_fill_len += size;
        s_stat.records++;
        s_stat.bytes += size;
        if (s_fill_len > CAPTURE_BUF / 2)
            pthread_cond_signal(&s_wake);
    }
    pthread_mutex_unlock(&s_lock);
}

/* ---- the writer ---- */

static int write_all(int fd, const uint8_t *data, size_t n)
{
    while (n > 0) {
        ssize_t done = write(fd, data, n);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return -1;
        data += done;
        n -= (size_t)done;
    }
    return 0;
}

static void nap(void)
{
    struct timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_nsec += CAPTURE_FLUSH_MS * 1000000L;
    until.tv_sec += until.tv_nsec / 1000000000L;
    until.tv_nsec %= 1000000000L;
    pthread_cond_timedwait(&s_wake, &s_lock, &until);
}

static void *capture_writer(void *arg)
{
    (void)arg;
    int failed = 0;
    pthread_mutex_lock(&s_lock);
    for (;;) {
        if (s_fill_len == 0 && s_ending)
            break;
        if (s_fill_len == 0)
            nap();
        uint8_t *full = s_fill;
        size_t len = s_fill_len;
        s_fill = s_drain;
        s_fill_len = 0;
        s_drain = full;
        pthread_mutex_unlock(&s_lock);
        if (len > 0 && !failed && write_all(s_fd, full, len) != 0) {
            LOG_CORE_ERR("[KORV][CAPTURE]writing %s failed errno:%d, capture stopped\n", s_stat.file, errno);
            failed = 1;
            g_capture_on.store(0, std::memory_order_relaxed);
        }
        pthread_mutex_lock(&s_lock);
    }
    pthread_mutex_unlock(&s_lock);
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

/* Creates the folder (and its parent) with the capture mode. */
static int make_dir(void)
{
    const char *dirs[] = {"/data/brimwell/korv", KRO_CAPTURE_DIR};
    for (const char *dir : dirs) {
        char mapped[KOR_PATH_MAX];
        if (kor_path_map(dir, mapped, sizeof(mapped)) != 0)
            return -1;
        if (mkdir(mapped, CAPTURE_DIR_MODE) != 0 && errno != EEXIST)
            return -1;
    }
    return kor_chmod(KRO_CAPTURE_DIR, CAPTURE_DIR_MODE);
}

/* The file and the buffers, once no writer runs. */
static void release_capture(void)
{
    if (s_fd >= 0)
        close(s_fd);
    s_fd = -1;
    pthread_mutex_lock(&s_lock);
    free(s_fill);
    s_fill = NULL;
    s_fill_len = 0;
    pthread_mutex_unlock(&s_lock);
    free(s_drain);
    s_drain = NULL;
}

/* The writer's end: it writes what is buffered and is joined. */
static void finish(void)
{
    pthread_mutex_lock(&s_lock);
    s_ending = 1;
    g_capture_on.store(0, std::memory_order_relaxed);
    pthread_cond_signal(&s_wake);
    pthread_mutex_unlock(&s_lock);
    pthread_join(s_thread, NULL);
    s_thread_live = 0;
    release_capture();
}

/* File, buffers and head block of a new capture; 0, or -1 with *why. */
static int open_capture(const char *path, const char **why)
{
    if (make_dir() != 0) {
        *why = "no capture folder";
        return -1;
    }
    s_fd = kor_open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, CAPTURE_FILE_MODE);
    if (s_fd < 0) {
        *why = "cannot create the file";
        return -1;
    }
    s_drain = (uint8_t *)malloc(CAPTURE_BUF);
    pthread_mutex_lock(&s_lock);
    s_fill = (uint8_t *)malloc(CAPTURE_BUF);
    if (s_fill != NULL) {
        s_fill_len = file_head(s_fill);
        s_ending = 0;
        memset(&s_stat, 0, sizeof(s_stat));
        snprintf(s_stat.file, sizeof(s_stat.file), "%s", path);
        s_stat.bytes = s_fill_len;
        s_lost.store(0, std::memory_order_relaxed);
    }
    pthread_mutex_unlock(&s_lock);
    if (s_fill == NULL || s_drain == NULL) {
        *why = "out of memory";
        release_capture();
        return -1;
    }
    return 0;
}

int kro_capture_start(const char *name, size_t name_len, char *path, size_t cap, const char **why)
{
    if (!name_ok(name, name_len)) {
        *why = "bad capture name";
        return -1;
    }
    if (kro_capture_running()) {
        *why = "a capture is running";
        return -1;
    }
    if (s_thread_live)
        finish(); /* the last capture stopped itself */
    snprintf(path, cap, "%s/%.*s.pcapng", KRO_CAPTURE_DIR, (int)name_len, name);
    if (open_capture(path, why) != 0) {
        LOG_CORE_ERR("[KORV][CAPTURE]%s: %s errno:%d\n", path, *why, errno);
        return -1;
    }
    if (pthread_create(&s_thread, NULL, capture_writer, NULL) != 0) {
        *why = "no writer thread";
        LOG_CORE_ERR("[KORV][CAPTURE]%s: %s\n", path, *why);
        release_capture();
        return -1;
    }
    s_thread_live = 1;
    g_capture_on.store(1, std::memory_order_relaxed);
    LOG_CORE_FLOW("[KORV][CAPTURE]capturing into %s\n", path);
    return 0;
}

int kro_capture_stop(char *path, size_t cap)
{
    if (!s_thread_live)
        return -1;
    finish();
    pthread_mutex_lock(&s_lock);
    snprintf(path, cap, "%s", s_stat.file);
    s_stat.file[0] = '\0';
    pthread_mutex_unlock(&s_lock);
    LOG_CORE_FLOW("[KORV][CAPTURE]capture %s stopped\n", path);
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
