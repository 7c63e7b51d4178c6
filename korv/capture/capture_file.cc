/* The capture's file: always a new regular file that korv created, in a
 * capture folder that korv created, reached without following a link.
 * Anyone in korv's group can create names where korv writes, so nothing at
 * the capture's path is trusted: a link there (to an NV file, to a device,
 * out of the root), a hard link, a named pipe, or a capture folder that is
 * itself a link must never be opened, truncated or have its mode changed.
 *
 * The walk starts at "/data/brimwell" (through the platform seam, so below
 * KORV_ROOT on the simulated phone) and takes one component at a time with
 * O_NOFOLLOW|O_DIRECTORY, creating what is missing: no link is followed
 * anywhere below that folder, which is what RESOLVE_NO_SYMLINKS would give,
 * and the walk also creates the folders, which openat2 would not.  The file
 * is created under a temporary name with O_EXCL and renamed over NAME, so an
 * existing name (whatever it is) is replaced as a directory entry and what
 * it pointed at is never touched.  Every open carries O_NONBLOCK: a pipe put
 * in the way fails or returns at once instead of holding the control thread.
 *
 * No state: runs on the control thread. */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "capture/capture_int.h"
#include "kor_platform.h"

#define CAPTURE_BASE "/data/brimwell"
#define CAPTURE_DIR_MODE 0770
#define CAPTURE_FILE_MODE 0640
#define DIR_FLAGS (O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)
#define FILE_FLAGS (O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)

/* The folder `name` below dir, created when missing, never through a link;
 * dir is closed either way.  fd or -1. */
static int dir_below(int dir, const char *name)
{
    int fd = -1;
    if (mkdirat(dir, name, CAPTURE_DIR_MODE) == 0 || errno == EEXIST)
        fd = openat(dir, name, DIR_FLAGS);
    int err = errno;
    close(dir);
    errno = err;
    return fd;
}

/* The capture folder, korv's own, with the capture mode set; fd or -1 with
 * *why and errno. */
static int capture_dir(const char **why)
{
    *why = "no capture folder";
    int dir = kor_open(CAPTURE_BASE, DIR_FLAGS);
    if (dir >= 0)
        dir = dir_below(dir, "korv");
    if (dir >= 0)
        dir = dir_below(dir, "capture");
    if (dir < 0)
        return -1;
    struct stat st;
    int rc = fstat(dir, &st);
    if (rc == 0 && st.st_uid != geteuid()) {
        *why = "the capture folder is not korv's";
        errno = EPERM;
        rc = -1;
    }
    /* Through the folder's own descriptor: the mode lands on what was
     * checked, never on what a path names by then. */
    if (rc == 0)
        rc = fchmod(dir, CAPTURE_DIR_MODE);
    if (rc != 0) {
        int err = errno;
        close(dir);
        errno = err;
        return -1;
    }
    return dir;
}

/* A new regular file under the temporary name tmp in dir; fd or -1. */
static int new_file(int dir, const char *tmp)
{
    if (unlinkat(dir, tmp, 0) != 0 && errno != ENOENT)
        return -1;
    int fd = openat(dir, tmp, FILE_FLAGS, CAPTURE_FILE_MODE);
    if (fd < 0)
        return -1;
    struct stat st;
    int rc = fstat(fd, &st);
    if (rc == 0 && !S_ISREG(st.st_mode)) {
        errno = EINVAL;
        rc = -1;
    }
    if (rc == 0)
        rc = fchmod(fd, CAPTURE_FILE_MODE); /* whatever the umask */
    if (rc != 0) {
        int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

int kro_capture_file_create(const char *name, size_t name_len, const char **why)
{
    char file[KRO_CAPTURE_NAME_MAX + 16], tmp[KRO_CAPTURE_NAME_MAX + 24];
    snprintf(file, sizeof(file), "%.*s.pcapng", (int)name_len, name);
    snprintf(tmp, sizeof(tmp), ".%s.tmp", file);
    int dir = capture_dir(why);
    if (dir < 0)
        return -1;
    int fd = new_file(dir, tmp);
    int err = errno;
    if (fd >= 0 && renameat(dir, tmp, dir, file) != 0) {
        err = errno;
        close(fd);
        unlinkat(dir, tmp, 0);
        fd = -1;
    }
    if (fd < 0)
        *why = "cannot create the file";
    close(dir);
    errno = err;
    return fd;
}
