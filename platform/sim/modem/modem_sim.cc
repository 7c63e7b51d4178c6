/* The simulated modem driver: answers the control requests made on a
 * descriptor of <root>/dev/modem the way the phone's driver does, from the
 * settings in dev/modem.conf, and writes one journal line per request to
 * dev/modem.log.
 *
 * Shared state: the DMI channel table lives in dev/modem.channels (one name a
 * line) so that every process on the same root sees one driver.  Each request
 * runs under s_driver_mutex (threads of this process) and an flock on that
 * file (other processes), which also keeps the journal in request order.
 * The daemon reaches this code from its signal handler during teardown, so
 * the request path takes both locks with a bounded wait, allocates nothing
 * and uses stack buffers and plain system calls only. */
#include "modem_sim.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "kor_modem.h"

namespace {

constexpr uint64_t k_default_nvram_base = 0x800000;
constexpr uint64_t k_default_nvram_size = 0x100000;
constexpr uint32_t k_default_trace_switch = 0x3FF000;
constexpr int k_max_fail = 16;
constexpr int k_max_ext = 32;
constexpr size_t k_conf_max = 8192;
/* 12 bytes a channel line: room for 340 channels. */
constexpr size_t k_table_max = 4096;
constexpr size_t k_line_max = 512;
constexpr int k_lock_wait_ms = 3000;
/* A slow driver is slow, not stuck: the teardown that reaches it from a
 * signal handler must still end. */
constexpr uint64_t k_max_delay_ms = 2000;

struct ext_setting {
    uint32_t id;
    uint32_t value;
};

struct sim_settings {
    uint64_t nvram_base;
    uint64_t nvram_size;
    unsigned long fail[k_max_fail];
    int fail_count;
    ext_setting ext[k_max_ext];
    int ext_count;
    uint64_t delay_ms; /* how long every request takes before it is answered */
};

/* Serialises requests of this process; the flock alone would do as well, but
 * a mutex keeps threads from spinning on LOCK_NB against each other. */
pthread_mutex_t s_driver_mutex = PTHREAD_MUTEX_INITIALIZER;

int path_join(char *out, size_t cap, const char *root, const char *rel) {
    int n = snprintf(out, cap, "%s%s", root, rel);
    if (n < 0 || (size_t)n >= cap) {
        errno = ENAMETOOLONG;
        return -1;
    }
    return 0;
}

/* Reads at most cap-1 bytes of a small file; the text is terminated.  A
 * missing file reads as empty. */
size_t read_small(const char *path, char *buf, size_t cap) {
    buf[0] = '\0';
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    size_t used = 0;
    while (used < cap - 1) {
        ssize_t n = read(fd, buf + used, cap - 1 - used);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        used += (size_t)n;
    }
    close(fd);
    buf[used] = '\0';
    return used;
}

char *trim(char *s) {
    while (*s == ' ' || *s == '\t') s++;
    char *end = s + strlen(s);
    while (end > s && (end[-1] == ' ' || end[-1] == '\t' || end[-1] == '\r')) *--end = '\0';
    return s;
}

/* Decimal, or hexadecimal after 0x; the whole text must be the number. */
int parse_number(const char *text, uint64_t *out) {
    int base = 10;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text += 2;
    }
    if (*text == '\0') return -1;
    char *end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(text, &end, base);
    if (errno != 0 || *end != '\0' || *text == '-' || *text == '+') return -1;
    *out = v;
    return 0;
}

void parse_fail_list(char *value, sim_settings *s) {
    for (char *save = nullptr, *item = strtok_r(value, ",", &save); item;
         item = strtok_r(nullptr, ",", &save)) {
        uint64_t req = 0;
        if (parse_number(trim(item), &req) == 0 && s->fail_count < k_max_fail)
            s->fail[s->fail_count++] = (unsigned long)req;
    }
}

void apply_setting(const char *key, char *value, sim_settings *s) {
    uint64_t num = 0;
    if (strcmp(key, "fail") == 0) {
        parse_fail_list(value, s);
    } else if (parse_number(value, &num) != 0) {
        return; /* a malformed number leaves the default in force */
    } else if (strcmp(key, "nvram_base") == 0) {
        s->nvram_base = num;
    } else if (strcmp(key, "nvram_size") == 0) {
        s->nvram_size = num;
    } else if (strcmp(key, "delay_ms") == 0) {
        s->delay_ms = num < k_max_delay_ms ? num : k_max_delay_ms;
    } else if (strncmp(key, "ext_info.", 9) == 0 && s->ext_count < k_max_ext) {
        uint64_t id = 0;
        if (parse_number(key + 9, &id) == 0)
            s->ext[s->ext_count++] = ext_setting{(uint32_t)id, (uint32_t)num};
    }
}

/* Settings are read afresh at every request, so a test can change the
 * driver's answers between two requests of a running daemon. */
void load_settings(const char *root, sim_settings *s) {
    memset(s, 0, sizeof *s);
    s->nvram_base = k_default_nvram_base;
    s->nvram_size = k_default_nvram_size;
    char path[4096];
    char text[k_conf_max];
    if (path_join(path, sizeof path, root, "/dev/modem.conf") != 0) return;
    read_small(path, text, sizeof text);
    for (char *save = nullptr, *line = strtok_r(text, "\n", &save); line;
         line = strtok_r(nullptr, "\n", &save)) {
        char *hash = strchr(line, '#');
        if (hash) *hash = '\0';
        char *eq = strchr(line, '=');
        if (!eq) continue;
        *eq = '\0';
        apply_setting(trim(line), trim(eq + 1), s);
    }
}

bool request_fails(const sim_settings *s, unsigned long request) {
    for (int i = 0; i < s->fail_count; i++)
        if (s->fail[i] == request) return true;
    return false;
}

uint32_t ext_value(const sim_settings *s, uint32_t id) {
    for (int i = s->ext_count - 1; i >= 0; i--) /* the last line wins */
        if (s->ext[i].id == id) return s->ext[i].value;
    return id == EXT_INFO_TRACE_LOG_SWITCH ? k_default_trace_switch : 0;
}

/* ---- locking ---- */

struct driver_lock {
    int table_fd;
    bool have_mutex;
};

void deadline_after(timespec *ts, int ms) {
    clock_gettime(CLOCK_REALTIME, ts);
    ts->tv_sec += ms / 1000;
    ts->tv_nsec += (long)(ms % 1000) * 1000000L;
    if (ts->tv_nsec >= 1000000000L) {
        ts->tv_sec++;
        ts->tv_nsec -= 1000000000L;
    }
}

int flock_bounded(int fd, int ms) {
    for (int waited = 0;; waited += 5) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
        if (errno != EWOULDBLOCK && errno != EINTR) return -1;
        if (waited >= ms) {
            errno = EBUSY;
            return -1;
        }
        usleep(5000);
    }
}

/* Releases what lk holds; a second call finds nothing to release. */
void unlock_driver(driver_lock *lk) {
    if (lk->table_fd >= 0) close(lk->table_fd); /* drops the flock */
    if (lk->have_mutex) pthread_mutex_unlock(&s_driver_mutex);
    lk->table_fd = -1;
    lk->have_mutex = false;
}

/* Takes both locks; on failure errno tells why (EBUSY after the bounded
 * wait, which happens when a signal handler interrupted a request). */
int lock_driver(const char *root, driver_lock *lk) {
    char path[4096];
    lk->table_fd = -1;
    lk->have_mutex = false;
    timespec until;
    deadline_after(&until, k_lock_wait_ms);
    int rc = pthread_mutex_timedlock(&s_driver_mutex, &until);
    if (rc != 0) {
        errno = rc == ETIMEDOUT ? EBUSY : rc;
        return -1;
    }
    lk->have_mutex = true;
    if (path_join(path, sizeof path, root, "/dev/modem.channels") == 0)
        lk->table_fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lk->table_fd >= 0 && flock_bounded(lk->table_fd, k_lock_wait_ms) == 0) return 0;
    int e = errno;
    unlock_driver(lk);
    errno = e;
    return -1;
}

/* ---- channel table ---- */

size_t table_read(int fd, char *buf, size_t cap) {
    ssize_t n = pread(fd, buf, cap - 1, 0);
    size_t used = n > 0 ? (size_t)n : 0;
    buf[used] = '\0';
    return used;
}

/* Finds name as a whole line of the table; returns its offset or -1. */
long table_find(const char *table, const char *name) {
    size_t len = strlen(name);
    for (const char *line = table; *line;) {
        const char *nl = strchr(line, '\n');
        size_t line_len = nl ? (size_t)(nl - line) : strlen(line);
        if (line_len == len && memcmp(line, name, len) == 0) return line - table;
        if (!nl) break;
        line = nl + 1;
    }
    return -1;
}

int table_write(int fd, const char *text, size_t len) {
    if (ftruncate(fd, 0) != 0) return -1;
    if (len && pwrite(fd, text, len, 0) != (ssize_t)len) {
        errno = EIO;
        return -1;
    }
    return 0;
}

int table_add(int fd, const char *name) {
    char table[k_table_max];
    size_t used = table_read(fd, table, sizeof table);
    if (table_find(table, name) >= 0) {
        errno = EEXIST;
        return -1;
    }
    size_t len = strlen(name);
    if (used + len + 1 >= sizeof table) {
        errno = ENOSPC;
        return -1;
    }
    memcpy(table + used, name, len);
    table[used + len] = '\n';
    return table_write(fd, table, used + len + 1);
}

int table_remove(int fd, const char *name) {
    char table[k_table_max];
    size_t used = table_read(fd, table, sizeof table);
    long at = table_find(table, name);
    if (at < 0) {
        errno = ENOENT;
        return -1;
    }
    size_t cut = strlen(name) + 1;
    if ((size_t)at + cut > used) cut = used - (size_t)at; /* last line without newline */
    memmove(table + at, table + at + cut, used - (size_t)at - cut);
    return table_write(fd, table, used - cut);
}

/* ---- requests ---- */

/* The journal text of one request up to " = ": first what was asked, then,
 * when the driver answers, what it answered. */
struct outcome {
    char text[k_line_max];
};

void say(outcome *o, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void say(outcome *o, const char *fmt, ...) {
    size_t used = strlen(o->text);
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(o->text + used, sizeof o->text - used, fmt, ap);
    va_end(ap);
}

/* A name of at most 11 characters copied out of a caller's buffer; longer
 * names are cut for the journal and never match a channel. */
struct channel_name {
    char text[DMI_NAME_SIZE + 1];
    bool too_long;
};

void take_name(const char *src, size_t cap, channel_name *n) {
    size_t len = strnlen(src, cap);
    n->too_long = len > DMI_NAME_SIZE - 1;
    if (len > DMI_NAME_SIZE) len = DMI_NAME_SIZE;
    memcpy(n->text, src, len);
    n->text[len] = '\0';
}

void describe_request(unsigned long request, const void *arg, outcome *o) {
    switch (request) {
    case MODEM_NVRAM_CACHE_INFO: say(o, "NVRAM_CACHE_INFO"); return;
    case MODEM_RUN: say(o, "RUN"); return;
    case MODEM_RESET: say(o, "RESET"); return;
    case MODEM_EXT_INFO:
        say(o, "EXT_INFO");
        if (arg) say(o, " id=%u", static_cast<const modem_ext_info *>(arg)->id);
        return;
    case DMI_CREATE: {
        say(o, "DMI_CREATE");
        if (!arg) return;
        dmi_channel d;
        memcpy(&d, arg, sizeof d);
        channel_name n;
        take_name(d.name, DMI_NAME_SIZE, &n);
        say(o,
            " name=%s type=%u property=%u cp2ap=0x%x,%u,%u ap2cp=0x%x,%u,%u "
            "hs=%u,%u,%u,%u,%u,%u",
            n.text, d.type, d.property, d.cp2ap_addr, d.cp2ap_size, d.cp2ap_ind, d.ap2cp_addr,
            d.ap2cp_size, d.ap2cp_ind, d.cp2ap_pkt_maxnum, d.cp2ap_pkt_maxsize,
            d.ap2cp_pkt_maxnum, d.ap2cp_pkt_maxsize, d.cp2ap_ctl_id, d.ap2cp_ctl_id);
        return;
    }
    case DMI_DELETE: {
        say(o, "DMI_DELETE");
        if (!arg) return;
        /* The argument is the name text itself, not a record. */
        channel_name n;
        take_name(static_cast<const char *>(arg), DMI_NAME_SIZE + 1, &n);
        say(o, " name=%s", n.text);
        return;
    }
    case WF_BIN_LOAD: {
        say(o, "WF_BIN_LOAD");
        if (!arg) return;
        const wf_bin_load_info *w = static_cast<const wf_bin_load_info *>(arg);
        say(o, " path=%.*s dst=0x%x len=%u", (int)strnlen(w->path, WF_BIN_PATH_SIZE), w->path,
            w->dst_addr, w->len);
        return;
    }
    default: say(o, "REQUEST 0x%lx", request); return;
    }
}

int do_cache_info(int fd, const sim_settings *s, void *arg, outcome *o) {
    /* The daemon maps the cache from the memory file: make sure the file
     * reaches that far, as the device's memory would. */
    struct stat st;
    uint64_t end = s->nvram_base + s->nvram_size;
    if (fstat(fd, &st) == 0 && (uint64_t)st.st_size < end && ftruncate(fd, (off_t)end) != 0)
        return -1;
    modem_nvram_cache_info info{s->nvram_base, s->nvram_size};
    memcpy(arg, &info, sizeof info);
    say(o, " base=0x%llx size=0x%llx", (unsigned long long)info.base,
        (unsigned long long)info.size);
    return 0;
}

int do_ext_info(const sim_settings *s, void *arg, outcome *o) {
    modem_ext_info info;
    memcpy(&info, arg, sizeof info);
    info.value = ext_value(s, info.id);
    memcpy(arg, &info, sizeof info);
    say(o, " value=0x%x", info.value);
    return 0;
}

/* A channel name becomes a line of the table and a word of the journal, so
 * it must be printable text without blanks. */
int check_name(const channel_name *n) {
    if (n->too_long) return errno = ENOENT, -1;
    if (n->text[0] == '\0') return errno = EINVAL, -1;
    for (const char *p = n->text; *p; p++)
        if (*p <= ' ' || *p > '~') return errno = EINVAL, -1;
    return 0;
}

int do_dmi_create(int table_fd, const void *arg) {
    channel_name n;
    take_name(static_cast<const dmi_channel *>(arg)->name, DMI_NAME_SIZE, &n);
    if (n.too_long) return errno = EINVAL, -1; /* no terminator in the record */
    if (check_name(&n) != 0) return -1;
    return table_add(table_fd, n.text);
}

int do_dmi_delete(int table_fd, const void *arg) {
    channel_name n;
    take_name(static_cast<const char *>(arg), DMI_NAME_SIZE + 1, &n);
    if (check_name(&n) != 0) return -1;
    return table_remove(table_fd, n.text);
}

int copy_into_memory(int src, int modem_fd, uint64_t dst, uint32_t len) {
    char chunk[16384];
    uint64_t done = 0;
    while (done < len) {
        size_t want = len - done < sizeof chunk ? (size_t)(len - done) : sizeof chunk;
        ssize_t n = pread(src, chunk, want, (off_t)done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return errno = EIO, -1;
        if (pwrite(modem_fd, chunk, (size_t)n, (off_t)(dst + done)) != n) return errno = EIO, -1;
        done += (uint64_t)n;
    }
    return 0;
}

int do_wf_bin_load(const char *root, int modem_fd, const void *arg) {
    wf_bin_load_info info;
    memcpy(&info, arg, sizeof info);
    char dev_path[WF_BIN_PATH_SIZE + 1];
    memcpy(dev_path, info.path, WF_BIN_PATH_SIZE);
    dev_path[WF_BIN_PATH_SIZE] = '\0';
    /* The record names a device path: take it below the root. */
    char host_path[4096];
    const char *prefix = dev_path[0] == '/' ? root : "";
    if (path_join(host_path, sizeof host_path, prefix, dev_path) != 0) return errno = ENOENT, -1;
    int src = open(host_path, O_RDONLY | O_CLOEXEC);
    if (src < 0) return errno = ENOENT, -1;
    struct stat st;
    int rc = -1;
    if (fstat(src, &st) != 0 || !S_ISREG(st.st_mode)) {
        errno = ENOENT;
    } else if ((uint64_t)st.st_size < info.len) {
        errno = EIO; /* the file cannot give the bytes the load promises */
    } else {
        rc = copy_into_memory(src, modem_fd, info.dst_addr, info.len);
    }
    int e = errno;
    close(src);
    errno = e;
    return rc;
}

bool known(unsigned long request) {
    return request >= MODEM_NVRAM_CACHE_INFO && request <= WF_BIN_LOAD;
}

bool needs_arg(unsigned long request) {
    return request != MODEM_RUN && request != MODEM_RESET;
}

int perform(const char *root, int fd, int table_fd, unsigned long request, void *arg,
            const sim_settings *s, outcome *o) {
    switch (request) {
    case MODEM_NVRAM_CACHE_INFO: return do_cache_info(fd, s, arg, o);
    case MODEM_RUN: return 0;
    case MODEM_RESET: return table_write(table_fd, "", 0); /* forgets every channel */
    case MODEM_EXT_INFO: return do_ext_info(s, arg, o);
    case DMI_CREATE: return do_dmi_create(table_fd, arg);
    case DMI_DELETE: return do_dmi_delete(table_fd, arg);
    case WF_BIN_LOAD: return do_wf_bin_load(root, fd, arg);
    default: return errno = ENOTTY, -1;
    }
}

void journal(const char *root, const char *text, int rc, int err) {
    char path[4096];
    char line[k_line_max + 64];
    if (path_join(path, sizeof path, root, "/dev/modem.log") != 0) return;
    int n;
    if (rc == 0) {
        n = snprintf(line, sizeof line, "%s = 0\n", text);
    } else {
        const char *name = strerrorname_np(err);
        n = name ? snprintf(line, sizeof line, "%s = -1 %s\n", text, name)
                 : snprintf(line, sizeof line, "%s = -1 E%d\n", text, err);
    }
    if (n <= 0) return;
    if ((size_t)n >= sizeof line) { /* cut, but still one whole line */
        n = (int)sizeof line - 1;
        line[n - 1] = '\n';
    }
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    ssize_t w = write(fd, line, (size_t)n); /* one write: lines never mix */
    (void)w;
    close(fd);
}

}  // namespace

extern "C" int modem_sim_is_modem_fd(const char *root, int fd) {
    char path[4096];
    struct stat dev, mine;
    if (!root || fd < 0 || path_join(path, sizeof path, root, "/dev/modem") != 0) return 0;
    if (fstat(fd, &mine) != 0 || stat(path, &dev) != 0) return 0;
    return mine.st_dev == dev.st_dev && mine.st_ino == dev.st_ino;
}

extern "C" int modem_sim_ioctl(const char *root, int fd, unsigned long request, void *arg) {
    if (!root) return errno = EINVAL, -1;
    int saved = errno;
    sim_settings s;
    load_settings(root, &s);
    outcome o;
    o.text[0] = '\0';
    describe_request(request, arg, &o);
    /* Before the locks: a slow request keeps its caller waiting, and other
     * threads' requests wait only for the driver's own work. */
    if (s.delay_ms > 0) {
        struct timespec delay = {(time_t)(s.delay_ms / 1000), (long)(s.delay_ms % 1000) * 1000000L};
        while (nanosleep(&delay, &delay) != 0 && errno == EINTR) {
        }
    }
    driver_lock lk;
    int rc = -1;
    if (lock_driver(root, &lk) != 0) {
        /* errno from the lock */
    } else if (!known(request)) {
        errno = ENOTTY;
    } else if (!arg && needs_arg(request)) {
        errno = EFAULT;
    } else if (request_fails(&s, request)) {
        errno = EIO;
    } else {
        rc = perform(root, fd, lk.table_fd, request, arg, &s, &o);
    }
    int err = rc == 0 ? 0 : errno;
    journal(root, o.text, rc, err);
    unlock_driver(&lk);
    errno = rc == 0 ? saved : err;
    return rc == 0 ? 0 : -1;
}
