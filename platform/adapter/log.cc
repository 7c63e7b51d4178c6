/* Logging: one line per call, "MM-DD HH:MM:SS.mmm PID TID L M: TEXT", written
 * to KORV_LOG_FILE (appended), else to the default sink: standard error, or
 * with KORV_LOG_LIBLOG (the phone's build) liblog's radio buffer, which takes
 * the text alone (log_liblog.cc).  While the level is
 * KOR_LVL_ERROR, lines of any other level are dropped before formatting.
 *
 * The daemon logs from its signal handler while other threads may be
 * anywhere, so this path takes no lock, allocates nothing and never calls
 * into the time-zone code: each line is built in a stack buffer (its
 * timestamp taken then) and leaves whole, in one write(2) of its own or, in
 * the daemon, inside a batch of its thread's lines (log_batch.cc).  The sink
 * descriptor, the level and the local-time offset are atomics; the offset is taken at
 * load and at tp_os_log_init, so a daylight-saving switch while the daemon
 * runs is not followed. */
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>

#include "kor_os.h"
#include "adapter_int.h"

#define LOG_LINE_MAX 4096
#define LOG_SINK_UNSET (-1)
#define LOG_SINK_LIBLOG (-2)
#ifdef KORV_LOG_LIBLOG
#define LOG_SINK_DEFAULT LOG_SINK_LIBLOG
#define LOG_SINK_DEFAULT_NAME "liblog"
#else
#define LOG_SINK_DEFAULT STDERR_FILENO
#define LOG_SINK_DEFAULT_NAME "stderr"
#endif

static std::atomic<int> s_log_fd{LOG_SINK_UNSET};
/* KOR_LVL_FLOW lets every line out, KOR_LVL_ERROR only error lines. */
static std::atomic<int> s_log_level{KOR_LVL_FLOW};
static std::atomic<long> s_utc_offset_s{0};
static std::atomic<uint64_t> s_log_failed{0};
static std::atomic<uint64_t> s_log_dropped{0};

static void log_tz_refresh(void) {
    time_t now = time(NULL);
    struct tm local;
    if (localtime_r(&now, &local) != NULL) s_utc_offset_s.store(local.tm_gmtoff);
}

/* Process and thread ids cost a system call each; logging is on every hot
 * path, so each thread keeps them after its first line.  The forking thread's
 * copy is cleared in the child, which has ids of its own.  Initial-exec TLS
 * never allocates, so the signal-handler path stays allocation free. */
static thread_local pid_t t_log_pid __attribute__((tls_model("initial-exec")));
static thread_local pid_t t_log_tid __attribute__((tls_model("initial-exec")));

static void log_ids_forget(void) { t_log_pid = t_log_tid = 0; }

static void log_ids(pid_t *pid, pid_t *tid) {
    if (t_log_tid == 0) {
        t_log_pid = getpid();
        t_log_tid = gettid();
    }
    *pid = t_log_pid;
    *tid = t_log_tid;
}

__attribute__((constructor)) static void log_load(void) {
    log_tz_refresh();
    pthread_atfork(NULL, NULL, log_ids_forget);
}

/* The configured file, or the default sink when none is set or it cannot be
 * opened.  Close-on-exec: the shell commands the daemon runs must not
 * inherit it. */
static int log_open_sink(void) {
    const char *path = getenv("KORV_LOG_FILE");
    if (path == NULL || path[0] == '\0') return LOG_SINK_DEFAULT;
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    return fd >= 0 ? fd : LOG_SINK_DEFAULT;
}

/* Lines logged before tp_os_log_init open the sink themselves; two threads
 * racing here keep the first descriptor installed. */
static int log_sink(void) {
    int fd = s_log_fd.load();
    if (fd != LOG_SINK_UNSET) return fd;
    int mine = log_open_sink();
    if (!s_log_fd.compare_exchange_strong(fd, mine)) {
        if (mine >= 0 && mine != STDERR_FILENO) close(mine);
        return fd;
    }
    return mine;
}

void tp_os_log_init(int mode) {
    (void)mode; /* one sink only: the mode selects nothing here */
    log_tz_refresh();
    int fd = log_open_sink();
    kor_log_batch_drain(); /* lines made before the switch go to the old sink */
    /* The previous sink stays open: another thread may be writing to it at
     * this moment, and the descriptor must not be reused under it. */
    s_log_fd.store(fd);
    const char *path = getenv("KORV_LOG_FILE");
    if (fd == LOG_SINK_DEFAULT && path != NULL && path[0] != '\0')
        tp_os_str_printf(KOR_ADAPTER_MOD, KOR_LVL_ERROR,
                         KOR_ADAPTER_TAG "cannot open log file %s, logging to " LOG_SINK_DEFAULT_NAME "\n",
                         path);
}

static char *log_put_int(char *p, int64_t v) {
    if (v < 0) *p++ = '-';
    return kor_log_put_uint(p, v < 0 ? 0 - (uint64_t)v : (uint64_t)v, 1);
}

/* Month, day and time of day from seconds since the epoch (local). */
static void log_civil(int64_t secs, unsigned *mon, unsigned *day, unsigned *sod) {
    int64_t days = secs / 86400;
    int64_t rem = secs % 86400;
    if (rem < 0) {
        rem += 86400;
        days--;
    }
    *sod = (unsigned)rem;
    /* Days to civil date, proleptic Gregorian, eras of 400 years. */
    days += 719468;
    int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    unsigned doe = (unsigned)(days - era * 146097);
    unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    unsigned mp = (5 * doy + 2) / 153;
    *day = doy - (153 * mp + 2) / 5 + 1;
    *mon = mp < 10 ? mp + 3 : mp - 9;
}

/* "MM-DD HH:MM:SS.mmm PID TID L M: " into buf (at most 80 bytes); its
 * length. */
static int log_header(char *buf, int module, int level, pid_t *tid) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    unsigned mon, day, sod;
    log_civil((int64_t)ts.tv_sec + s_utc_offset_s.load(), &mon, &day, &sod);
    pid_t pid;
    log_ids(&pid, tid);
    char *p = kor_log_put_uint(buf, mon, 2);
    *p++ = '-';
    p = kor_log_put_uint(p, day, 2);
    *p++ = ' ';
    p = kor_log_put_uint(p, sod / 3600, 2);
    *p++ = ':';
    p = kor_log_put_uint(p, sod / 60 % 60, 2);
    *p++ = ':';
    p = kor_log_put_uint(p, sod % 60, 2);
    *p++ = '.';
    p = kor_log_put_uint(p, (uint64_t)(ts.tv_nsec / 1000000), 3);
    *p++ = ' ';
    p = log_put_int(p, pid);
    *p++ = ' ';
    p = log_put_int(p, *tid);
    *p++ = ' ';
    if (level == KOR_LVL_ERROR || level == KOR_LVL_FLOW)
        *p++ = level == KOR_LVL_ERROR ? 'E' : 'D';
    else
        p = log_put_int(p, level);
    *p++ = ' ';
    p = log_put_int(p, module);
    *p++ = ':';
    *p++ = ' ';
    return (int)(p - buf);
}

int kor_log_write(struct iovec *iov, int count, size_t *written) {
    int fd = log_sink();
    *written = 0;
    while (count > 0) {
        ssize_t n = writev(fd, iov, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            s_log_failed.fetch_add(1, std::memory_order_relaxed);
            return -1;
        }
        *written += (size_t)n;
        /* A short write (a pipe, a terminal, a disk filling up) goes on
         * where it stopped. */
        for (; count > 0 && (size_t)n >= iov->iov_len; iov++, count--) n -= (ssize_t)iov->iov_len;
        if (count > 0) {
            iov->iov_base = (char *)iov->iov_base + n;
            iov->iov_len -= (size_t)n;
        }
    }
    return 0;
}

void kor_log_dropped(uint64_t lines) { s_log_dropped.fetch_add(lines, std::memory_order_relaxed); }

uint64_t tp_os_log_dropped_lines(void) { return s_log_dropped.load(std::memory_order_relaxed); }

uint64_t tp_os_log_failed_writes(void) { return s_log_failed.load(std::memory_order_relaxed); }

int tp_os_log_set_level(int level) {
    if (level != KOR_LVL_FLOW && level != KOR_LVL_ERROR) return -1;
    s_log_level.store(level, std::memory_order_relaxed);
    return 0;
}

int tp_os_log_level(void) { return s_log_level.load(std::memory_order_relaxed); }

const char *tp_os_log_sink(void) {
    const char *path = getenv("KORV_LOG_FILE");
    return log_sink() == LOG_SINK_DEFAULT || path == NULL ? LOG_SINK_DEFAULT_NAME : path;
}

void tp_os_str_printf(int module, int level, const char *format, ...) {
    if (level != KOR_LVL_ERROR && s_log_level.load(std::memory_order_relaxed) == KOR_LVL_ERROR) return;
    int saved_errno = errno; /* callers log errno's text after the fact */
#ifdef KORV_LOG_LIBLOG
    if (log_sink() == LOG_SINK_LIBLOG) {
        va_list ap;
        va_start(ap, format);
        kor_log_liblog(level, format, ap);
        va_end(ap);
        errno = saved_errno;
        return;
    }
#endif
    char line[LOG_LINE_MAX];
    pid_t tid;
    size_t len = (size_t)log_header(line, module, level, &tid);
    /* The formatter keeps the buffer's last byte for its terminator; that byte is
     * where a cut or unterminated text gets its newline. */
    size_t room = sizeof line - len;
    int n = 0;
    if (format != NULL) {
        va_list ap;
        va_start(ap, format);
        n = kor_log_vformat(line + len, room, format, ap);
        va_end(ap);
    }
    len += n < 0 ? 0 : ((size_t)n < room - 1 ? (size_t)n : room - 1);
    if (len == 0 || line[len - 1] != '\n') line[len++] = '\n';
    if (kor_log_batch_put(line, len, tid) != 0) {
        /* One try: a sink that refuses the line loses it (counted), and the
         * caller goes on at once. */
        struct iovec iov = {line, len};
        size_t written;
        if (kor_log_write(&iov, 1, &written) != 0) kor_log_dropped(1);
    }
    errno = saved_errno;
}
