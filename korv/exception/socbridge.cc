/* The exception channel: opening /dev/socbridge, watching it with a one-shot
 * read event, and the reader thread that scans the byte stream for a modem
 * dump record and hands it to the exception handling on the looper.
 *
 * Shared state: s_fd_socbridge is written by the opener thread once, read by
 * reader threads and taken (set to -1) by the exception handling or by
 * teardown; it is one atomic int.  s_socbridge_lock orders the
 * uses of the descriptor against its close: the opener arms the read event
 * under it, a reader takes its own copy of the descriptor and re-arms under
 * it, and whoever closes the channel takes and closes it under it (teardown
 * with a bounded wait, as it runs inside the exit-signal handler).  A reader
 * reads only its copy, so no read ever meets the close of the descriptor it
 * reads, and a closed number, which the process may reuse for any file, is
 * never read or armed again.  Only one reader thread exists at a time,
 * because only it re-arms the one-shot event.  s_socbridge_event is set once
 * by the opener and afterwards only re-added; s_modem_exception_event is
 * armed by the one reader that found a record. */
#include <atomic>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdint.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "cutils/properties.h"
#include "exception/exception.h"
#include "teardown_lock.h"
#include "fwlink/fwlink.h"
#include "kor_event.h"
#include "kor_msg.h"
#include "kor_os.h"
#include "korv_log.h"
#include "looper.h"
#include "kor_platform.h"

/* One byte short of 256, as the channel has always been read. */
#define SOC_BUF_SIZE 255
#define SOC_TEXT_SIZE 510
#define SOC_FIELD 4
#define SOC_TYPE_DUMP 2
#define SOCBRIDGE_RETRY_MS 2000

/* Atomic; armed, copied and closed under s_socbridge_lock. */
static std::atomic<int> s_fd_socbridge{-1};
/* Error-checking, so that a teardown that interrupted the holder on its own
 * thread is refused at once instead of waiting on itself. */
static pthread_mutex_t s_socbridge_lock = PTHREAD_ERRORCHECK_MUTEX_INITIALIZER_NP;
static kor_event_st s_socbridge_event;       /* set by the opener, re-added by the one reader */
static kor_event_st s_modem_exception_event; /* armed by the reader that found a record */
/* 1 us: just long enough to leave the reader thread for the looper. */
static const kor_timeval_st s_handoff_period = {0, 1};

int kro_socbridge_take_fd(void) { return s_fd_socbridge.exchange(-1); }

void kro_socbridge_lock(void) { pthread_mutex_lock(&s_socbridge_lock); }

int kro_socbridge_lock_timed(const char *who)
{
    return kro_lock_for_teardown(&s_socbridge_lock, "[KORV][FLOW]", "socbridge", who);
}

void kro_socbridge_unlock(void) { pthread_mutex_unlock(&s_socbridge_lock); }

void *set_socbridge_event(void *arg)
{
    int fd;

    (void)arg;
    /* Blocks until the driver (or, for a FIFO, a writer) is there. */
    while ((fd = kor_open(SOCBRIDGE_PATH, O_RDONLY)) < 0) {
        LOG_CORE_FLOW("[KORV][FLOW]failed to open file %s, fd:%d, errno:%d\n", SOCBRIDGE_PATH,
                      fd, errno);
        tp_os_thread_sleep(SOCBRIDGE_RETRY_MS);
    }
    s_fd_socbridge.store(fd);
    LOG_CORE_FLOW("[KORV][FLOW]open socbridge file fd:%d\n", fd);
    create_pty_tty_channel();
    property_set(MODEM_EXCEPTION_PROP, "0");
    kro_log_exception_prop();
    kro_socbridge_lock();
    /* A channel the exception handling closed meanwhile is not watched. */
    if (fd == s_fd_socbridge.load()) {
        kor_event_set(&s_socbridge_event, fd, 0, on_socbridge_event, NULL);
        kor_event_add(&s_socbridge_event);
    }
    kro_socbridge_unlock();
    return NULL;
}

static int read_channel(int fd, int channel);

void *thread_fun_read_socbridge(void *fd_ptr)
{
    int fd;
    int copy;
    int err;
    int rc;

    if (fd_ptr == NULL) {
        LOG_CORE_ERR("[KORV][FLOW] thread_fun_read_socbridge data_ptr is NULL\n");
        return NULL;
    }
    fd = *(const int *)fd_ptr;
    /* Readiness seen just before the exception handling closed the channel
     * finds nothing to copy. */
    kro_socbridge_lock();
    copy = fd == s_fd_socbridge.load() ? fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1;
    err = errno;
    kro_socbridge_unlock();
    if (copy < 0) {
        if (fd == s_fd_socbridge.load())
            LOG_CORE_ERR("[KORV][FLOW] thread_fun_read_socbridge no descriptor to read fd:%d "
                         "with, errno:%d\n",
                         fd, err);
        return NULL;
    }
    rc = read_channel(copy, fd);
    close(copy);
    if (rc >= 0)
        return NULL; /* handed on: the channel is not watched any more */
    /* A channel closed meanwhile by the exception handling stays unwatched. */
    kro_socbridge_lock();
    if (fd == s_fd_socbridge.load())
        kor_event_add(&s_socbridge_event);
    kro_socbridge_unlock();
    return NULL;
}

static void on_modem_exception_handoff(int fd, short flags, void *arg)
{
    (void)fd;
    (void)flags;
    (void)arg;
    kro_handle_modem_exception(KRO_EXCEPTION_DUMP);
}

static int32_t rd32(const uint8_t *p)
{
    int32_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

/* Index of the first "ME" in buf, or -1. */
static int find_marker(const uint8_t *buf, int total)
{
    for (int i = 0; i + 1 < total; i++)
        if (buf[i] == 'M' && buf[i + 1] == 'E')
            return i;
    return -1;
}

static void report_dump_record(const uint8_t *held, int held_len, int32_t soc_type,
                               int32_t soc_buf_len)
{
    char text[SOC_TEXT_SIZE];

    to_string_byte_buf(held, (size_t)held_len, text, sizeof text);
    LOG_CORE_FLOW("[KORV][FLOW]get_soc_record type:%d, len:%d, buf_end:%d, buf:%s\n", soc_type,
                  soc_buf_len, held_len, text);
    LOG_CORE_FLOW("[KORV][FLOW] read socbridge get DEXCPTINFO\n");
    property_set(MODEM_EXCEPTION_PROP, "1");
    LOG_CORE_FLOW("[KORV][FLOW]property_set persist.sys.modem.exception 1\n");
    kro_log_exception_prop();
    kro_inform_and_log(KRO_NOTIFY_DETECTED, "read_socbridge");
    kor_event_set(&s_modem_exception_event, -1, 0, on_modem_exception_handoff, NULL);
    kor_timer_add(&s_modem_exception_event, &s_handoff_period);
}

int read_socbridge(int fd)
{
    /* Only the watched channel can be taken from under this thread. */
    return read_channel(fd, fd == s_fd_socbridge.load() ? fd : -1);
}

/* Reads fd, which is the channel `channel` or a copy of it (-1: no channel,
 * nothing can close it meanwhile).  Records are found by their marker only;
 * their length field is never used to skip, so a payload holding "ME" starts
 * a new record.  Bytes left after a record header are scanned again only
 * once the next read brought more. */
static int read_channel(int fd, int channel)
{
    uint8_t buf[SOC_BUF_SIZE];
    char text[SOC_TEXT_SIZE];
    int held = 0;
    int32_t soc_type = -1;
    int32_t soc_buf_len = -1;

    for (;;) {
        /* The exception handling closes the channel while this thread may
         * wait in read; what that read returned is taken, but the channel
         * is read no further. */
        if (channel >= 0 && channel != s_fd_socbridge.load()) {
            LOG_CORE_FLOW("[KORV][FLOW] socbridge fd:%d closed meanwhile, reader ends\n",
                          channel);
            return -1;
        }
        LOG_CORE_FLOW("[KORV][FLOW] start read socbridge fd:%d\n",
                      fd);
        ssize_t n = read(fd, buf + held, (size_t)(SOC_BUF_SIZE - held));
        LOG_CORE_FLOW("[KORV][FLOW] read soc bridge size:%d\n",
                      (int)n);
        if (n < 0) {
            LOG_CORE_FLOW("[KORV][FLOW] read modem exception indication error: errno(%d)\n",
                          errno);
            return -1;
        }
        if (n == 0)
            return -1;
        int total = held + (int)n;
        to_string_byte_buf(buf + held, (size_t)n, text, sizeof text);
        LOG_CORE_FLOW("[KORV][FLOW]read soc bridge: %s, s_buf:%d\n",
                      text, total);

        int at = find_marker(buf, total);
        if (at < 0) {
            held = 0;
            continue;
        }
        int p = at + 2;
        LOG_CORE_FLOW("[KORV][FLOW]find record start at: %d\n", p);
        if (p + SOC_FIELD <= total) {
            soc_type = rd32(buf + p);
            p += SOC_FIELD;
            if (p + SOC_FIELD <= total) {
                soc_buf_len = rd32(buf + p);
                p += SOC_FIELD;
            }
        }
        LOG_CORE_FLOW("[KORV][FLOW]search record soc_type: %d, soc_buf_len:%d, i_buf:%d, s_buf:%d\n",
                      soc_type, soc_buf_len, p, total);
        held = p < total ? total - p : 0;
        if (held > 0)
            memmove(buf, buf + p, (size_t)held);
        /* A type left unread stays -1 here: a type 2 read earlier has
         * already returned. */
        if (soc_type != SOC_TYPE_DUMP) {
            LOG_CORE_FLOW("[KORV][FLOW]not modem dump message, continue!\n");
            continue;
        }
        report_dump_record(buf, held, soc_type, soc_buf_len);
        return 0;
    }
}
