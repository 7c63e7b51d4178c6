/* The platform seam: the system calls that take a device path or reach a
 * device.  On the host (KOR_HOST_SIM) every absolute path is taken below
 * KORV_ROOT when that is set, and the simulated driver answers requests on
 * the root's /dev/modem; the pty master and slaves (/dev/ptmx, /dev/pts/...)
 * are the host's own and stay unmapped.  The root is read once and kept for
 * the process's life.  The phone's build has neither: there each wrapper is
 * the plain call and KORV_ROOT is never read. */
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <paths.h>
#include <pthread.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "kor_platform.h"

#ifdef KOR_HOST_SIM
#include "platform/sim/modem/modem_sim.h"

static pthread_once_t s_root_once = PTHREAD_ONCE_INIT;
static const char *s_root; /* written once under s_root_once, then read-only */

static void seam_root_read(void) {
    const char *env = getenv("KORV_ROOT");
    if (env == NULL) return;
    size_t len = strlen(env);
    while (len > 0 && env[len - 1] == '/') len--; /* "/r/" and "/r" map alike */
    if (len > 0) s_root = strndup(env, len);
}

const char *kor_root(void) {
    pthread_once(&s_root_once, seam_root_read);
    return s_root;
}

static int seam_is_mapped(const char *path) {
    if (path[0] != '/') return 0;
    if (strcmp(path, "/dev/ptmx") == 0 || strcmp(path, "/dev/pts") == 0) return 0;
    return strncmp(path, "/dev/pts/", 9) != 0;
}

int kor_path_map(const char *path, char *out, size_t cap) {
    if (path == NULL || out == NULL) {
        errno = EFAULT;
        return -1;
    }
    const char *root = kor_root();
    const char *prefix = root != NULL && seam_is_mapped(path) ? root : "";
    size_t plen = strlen(prefix), len = strlen(path);
    if (plen + len + 1 > cap) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(out, prefix, plen);
    memcpy(out + plen, path, len + 1);
    return 0;
}

/* The mapped path in buf (KOR_PATH_MAX bytes), or NULL with errno set. */
static const char *seam_map(const char *path, char *buf) {
    return kor_path_map(path, buf, KOR_PATH_MAX) == 0 ? buf : NULL;
}
#else
const char *kor_root(void) { return NULL; }

int kor_path_map(const char *path, char *out, size_t cap) {
    if (path == NULL || out == NULL) {
        errno = EFAULT;
        return -1;
    }
    size_t len = strlen(path);
    if (len + 1 > cap) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(out, path, len + 1);
    return 0;
}

/* The path itself: nothing is mapped on the phone. */
static const char *seam_map(const char *path, char *buf) {
    (void)buf;
    if (path == NULL) errno = EFAULT;
    return path;
}
#endif

int kor_open(const char *path, int flags, ...) {
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list ap;
        va_start(ap, flags);
        mode = (mode_t)va_arg(ap, int);
        va_end(ap);
    }
    char buf[KOR_PATH_MAX];
    const char *p = seam_map(path, buf);
    return p != NULL ? open(p, flags, mode) : -1;
}

FILE *kor_fopen(const char *path, const char *mode) {
    char buf[KOR_PATH_MAX];
    const char *p = seam_map(path, buf);
    return p != NULL && mode != NULL ? fopen(p, mode) : NULL;
}

int kor_stat(const char *path, struct stat *st) {
    char buf[KOR_PATH_MAX];
    const char *p = seam_map(path, buf);
    return p != NULL ? stat(p, st) : -1;
}

int kor_unlink(const char *path) {
    char buf[KOR_PATH_MAX];
    const char *p = seam_map(path, buf);
    return p != NULL ? unlink(p) : -1;
}

int kor_symlink(const char *target, const char *linkpath) {
    char buf[KOR_PATH_MAX];
    const char *p = seam_map(linkpath, buf);
    return p != NULL && target != NULL ? symlink(target, p) : -1;
}

int kor_chmod(const char *path, mode_t mode) {
    char buf[KOR_PATH_MAX];
    const char *p = seam_map(path, buf);
    return p != NULL ? chmod(p, mode) : -1;
}

/* The phone's system ids (1000 system, 1001 radio), or "leave unchanged". */
static int seam_is_phone_id(unsigned id) { return id == 1000 || id == 1001 || id == (unsigned)-1; }

/* On a simulated root run by an ordinary user, handing a file to the phone's
 * system ids cannot succeed and means nothing on this machine: that EPERM
 * counts as success, so the daemon behaves as it does on the phone. */
int kor_chown(const char *path, uid_t uid, gid_t gid) {
    char buf[KOR_PATH_MAX];
    const char *p = seam_map(path, buf);
    if (p == NULL) return -1;
    if (chown(p, uid, gid) == 0) return 0;
    if (errno == EPERM && kor_root() != NULL && geteuid() != 0 && seam_is_phone_id(uid) &&
        seam_is_phone_id(gid))
        return 0;
    return -1;
}

void *kor_dlopen(const char *path, int flags) {
    if (path == NULL) return dlopen(NULL, flags); /* the program itself */
    char buf[KOR_PATH_MAX];
    const char *p = seam_map(path, buf);
    return p != NULL ? dlopen(p, flags) : NULL;
}

#ifdef KOR_HOST_SIM
static int seam_is_blank(char c) { return c == ' ' || c == '\t'; }

static int seam_is_device_word(const std::string &word) {
    static const char *const prefixes[] = {"/data/", "/system/", "/sys/", "/dev/"};
    for (const char *prefix : prefixes)
        if (word.compare(0, strlen(prefix), prefix) == 0) return 1;
    return 0;
}

/* Words are runs of non-blank characters; the blanks between them, and words
 * that are not device paths (operators, options, quoted text), pass through
 * unchanged. */
static int seam_map_command(const char *command, std::string *out) {
    char buf[KOR_PATH_MAX];
    const char *c = command;
    while (*c != '\0') {
        const char *start = c;
        int blank = seam_is_blank(*c);
        while (*c != '\0' && seam_is_blank(*c) == blank) c++;
        std::string run(start, (size_t)(c - start));
        if (!blank && seam_is_device_word(run)) {
            if (kor_path_map(run.c_str(), buf, sizeof buf) != 0) return -1;
            run = buf;
        }
        out->append(run);
    }
    return 0;
}

#endif

/* system(3) without the daemon's descriptors: the shell and the tools it
 * starts in the background (the dump tool outlives the daemon) must not hold
 * the framework sockets, the modem or the exception channel open.  Returns a
 * wait status as system(3) does, or -1. */
static int seam_shell(const char *command) {
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) return -1;
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    char *argv[] = {(char *)"sh", (char *)"-c", (char *)command, NULL};
    pid_t pid;
    int rc = posix_spawn(&pid, _PATH_BSHELL, &actions, NULL, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return status;
}

int kor_system(const char *command) {
    if (command == NULL) return system(NULL);
#ifdef KOR_HOST_SIM
    if (kor_root() != NULL) {
        std::string mapped;
        if (seam_map_command(command, &mapped) != 0) return -1;
        return seam_shell(mapped.c_str());
    }
#endif
    return seam_shell(command);
}

int kor_ioctl(int fd, unsigned long request, void *arg) {
#ifdef KOR_HOST_SIM
    const char *root = kor_root();
    if (root != NULL && modem_sim_is_modem_fd(root, fd)) return modem_sim_ioctl(root, fd, request, arg);
#endif
    return ioctl(fd, request, arg);
}
