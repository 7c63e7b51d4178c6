/* liblog stand-in (the subset korv calls): __android_log_buf_write appends
 * one entry to the buffer's file below KORV_ROOT (layout in radio_log.h),
 * stamped with the time, pid and tid as logd would.  Each entry is built in a
 * stack buffer and leaves in one appending write(2), so entries of different
 * threads and processes never mix; nothing is locked or allocated (korv logs
 * from its signal handler).  Without a root there is no buffer: the entry is
 * dropped with -EBADF. */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <android/log.h>
#include <log/log_read.h>

#include "radio_log.h"

static_assert(RADIO_LOG_PAYLOAD_MAX == LOGGER_ENTRY_MAX_PAYLOAD, "entries are cut where logd cuts them");

static const char *const s_buffer_names[LOG_ID_MAX] = {"main",  "radio",    "events", "system",
                                                       "crash", "stats", "security", "kernel"};

/* Copies at most `room` bytes of s and its NUL (cut texts keep theirs). */
static size_t liblog_put(char *dst, size_t room, const char *s) {
    size_t len = strnlen(s, room - 1);
    memcpy(dst, s, len);
    dst[len] = '\0';
    return len + 1;
}

static int liblog_open(int buf_id) {
    const char *root = getenv("KORV_ROOT");
    if (root == NULL || root[0] == '\0') return -EBADF;
    char path[4096];
    int n = snprintf(path, sizeof path, "%s" RADIO_LOG_DIR "/%s", root, s_buffer_names[buf_id]);
    if (n < 0 || (size_t)n >= sizeof path) return -ENAMETOOLONG;
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    return fd >= 0 ? fd : -errno;
}

int __android_log_buf_write(int bufID, int prio, const char *tag, const char *text) {
    if (bufID < 0 || bufID >= LOG_ID_MAX) return -EINVAL;
    char entry[sizeof(radio_log_head_st) + RADIO_LOG_PAYLOAD_MAX];
    char *payload = entry + sizeof(radio_log_head_st);
    size_t used = 1;
    payload[0] = (char)prio;
    used += liblog_put(payload + used, 64, tag != NULL ? tag : "");
    used += liblog_put(payload + used, RADIO_LOG_PAYLOAD_MAX - used, text != NULL ? text : "");

    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    radio_log_head_st head = {(uint32_t)used, (int32_t)getpid(), (int32_t)gettid(), (uint32_t)ts.tv_sec,
                              (uint32_t)ts.tv_nsec};
    memcpy(entry, &head, sizeof head);

    int fd = liblog_open(bufID);
    if (fd < 0) return fd;
    ssize_t n = write(fd, entry, sizeof head + used);
    int rc = n < 0 ? -errno : (int)used;
    close(fd);
    return rc;
}
