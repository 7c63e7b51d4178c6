/* System properties of the simulated phone: one file per property in the
 * store directory /dev/__properties__ (mapped below KORV_ROOT), the file's
 * content being the value.  A set writes a temporary file and renames it over
 * the old one, so a reader in any process sees the old or the new value,
 * never a part.  The init control properties ctl.start, ctl.restart and
 * ctl.stop are not stored: they append one line to /init/ctl.log and set the
 * service's init.svc.NAME state, as init would.  Every set of a valid name
 * appends "SETTER NAME" to /init/property.log: the setting program's name and
 * the name the phone's property service checks against the policy
 * (ctl.ACTION$SERVICE for a control property), as the policy's test reads.
 *
 * The daemon sets properties from its signal handler during teardown, so no
 * path here locks or allocates: stack buffers and plain system calls only. */
#include "cutils/properties.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "kor_platform.h"

namespace {

constexpr const char *k_store = "/dev/__properties__";
constexpr const char *k_ctl_log = "/init/ctl.log";
constexpr const char *k_set_log = "/init/property.log";
constexpr size_t k_value_max = PROPERTY_VALUE_MAX - 1;
/* Longer than any name in use; bounds the stack buffers below. */
constexpr size_t k_name_max = 200;

/* Appends text to buf (capacity cap, *len used); -1 when it does not fit. */
int append(char *buf, size_t cap, size_t *len, const char *text) {
    size_t n = strlen(text);
    if (*len + n + 1 > cap) return -1;
    memcpy(buf + *len, text, n + 1);
    *len += n;
    return 0;
}

int append_number(char *buf, size_t cap, size_t *len, unsigned long v) {
    char digits[24];
    size_t i = sizeof digits;
    digits[--i] = '\0';
    do {
        digits[--i] = (char)('0' + v % 10);
        v /= 10;
    } while (v);
    return append(buf, cap, len, digits + i);
}

/* A name is one file of the store: no separators, no way out of it, and no
 * leading dot (the store's temporary files start with one). */
bool name_ok(const char *name) {
    if (!name || name[0] == '\0' || name[0] == '.') return false;
    size_t n = strnlen(name, k_name_max + 1);
    if (n > k_name_max) return false;
    return !strchr(name, '/') && !strstr(name, "..");
}

/* Host path of a file of the store; prefix "" for the property itself. */
int store_path(const char *prefix, const char *name, char *out, size_t cap) {
    char dev[KOR_PATH_MAX];
    size_t len = 0;
    if (append(dev, sizeof dev, &len, k_store) || append(dev, sizeof dev, &len, "/") ||
        append(dev, sizeof dev, &len, prefix) || append(dev, sizeof dev, &len, name))
        return -1;
    return kor_path_map(dev, out, cap);
}

int write_all(int fd, const char *data, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, data, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return -1;
        data += w;
        n -= (size_t)w;
    }
    return 0;
}

/* The temporary name carries process and thread ids, so two writers of the
 * same property never share a temporary file. */
int temp_name(const char *name, char *out, size_t cap) {
    char tmp[k_name_max + 64];
    size_t len = 0;
    if (append(tmp, sizeof tmp, &len, name) || append(tmp, sizeof tmp, &len, ".") ||
        append_number(tmp, sizeof tmp, &len, (unsigned long)getpid()) ||
        append(tmp, sizeof tmp, &len, ".") ||
        append_number(tmp, sizeof tmp, &len, (unsigned long)syscall(SYS_gettid)))
        return -1;
    return store_path(".tmp.", tmp, out, cap);
}

int store_value(const char *name, const char *value) {
    char path[KOR_PATH_MAX];
    char tmp[KOR_PATH_MAX];
    if (store_path("", name, path, sizeof path) != 0 || temp_name(name, tmp, sizeof tmp) != 0)
        return -1;
    int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    int rc = write_all(fd, value, strlen(value));
    if (close(fd) != 0) rc = -1;
    if (rc == 0) rc = rename(tmp, path);
    if (rc != 0) unlink(tmp);
    return rc;
}

/* ctl.start NAME: one line appended in one write, then the state. */
int control(const char *action, const char *service, const char *state) {
    char svc[k_name_max + 16];
    size_t svc_len = 0;
    if (!name_ok(service) || append(svc, sizeof svc, &svc_len, "init.svc.") ||
        append(svc, sizeof svc, &svc_len, service) || !name_ok(svc))
        return -1;
    char line[k_name_max + 32];
    size_t len = 0;
    if (append(line, sizeof line, &len, action) || append(line, sizeof line, &len, " ") ||
        append(line, sizeof line, &len, service) || append(line, sizeof line, &len, "\n"))
        return -1;
    char path[KOR_PATH_MAX];
    if (kor_path_map(k_ctl_log, path, sizeof path) != 0) return -1;
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    int rc = write(fd, line, len) == (ssize_t)len ? 0 : -1;
    close(fd);
    return rc == 0 ? store_value(svc, state) : -1;
}

/* One line in the set journal.  Evidence only: a set never depends on it. */
void journal(const char *key, const char *value) {
    char line[2 * k_name_max + 64];
    size_t len = 0;
    if (append(line, sizeof line, &len, program_invocation_short_name) || append(line, sizeof line, &len, " ") ||
        append(line, sizeof line, &len, key))
        return;
    if (strncmp(key, "ctl.", 4) == 0 &&
        (append(line, sizeof line, &len, "$") || append(line, sizeof line, &len, value)))
        return;
    char path[KOR_PATH_MAX];
    if (append(line, sizeof line, &len, "\n") || kor_path_map(k_set_log, path, sizeof path) != 0) return;
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    (void)!write(fd, line, len);
    close(fd);
}

}  // namespace

extern "C" int property_get(const char *key, char *value, const char *default_value) {
    if (!value) return 0;
    char path[KOR_PATH_MAX];
    int fd = -1;
    if (name_ok(key) && store_path("", key, path, sizeof path) == 0)
        fd = open(path, O_RDONLY | O_CLOEXEC);
    size_t len = 0;
    if (fd >= 0) {
        /* The value is at most 91 bytes; anything beyond is not read. */
        while (len < k_value_max) {
            ssize_t n = read(fd, value + len, k_value_max - len);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            len += (size_t)n;
        }
        close(fd);
    } else if (default_value) {
        len = strnlen(default_value, k_value_max);
        memcpy(value, default_value, len);
    }
    value[len] = '\0';
    return (int)len;
}

extern "C" int property_set(const char *key, const char *value) {
    if (!name_ok(key) || !value || strnlen(value, k_value_max + 1) > k_value_max) return -1;
    journal(key, value);
    if (strncmp(key, "ctl.", 4) != 0) return store_value(key, value);
    if (strcmp(key, "ctl.start") == 0) return control("ctl.start", value, "running");
    if (strcmp(key, "ctl.restart") == 0) return control("ctl.restart", value, "running");
    if (strcmp(key, "ctl.stop") == 0) return control("ctl.stop", value, "stopped");
    return -1; /* init knows no other control action */
}
