/* The platform seam: wrappers for every system call that takes a device path
 * or reaches a device.  With KORV_ROOT set (and not empty) each absolute path
 * is taken below that directory; /dev/ptmx and /dev/pts/... never are.  The
 * daemon logs and builds device paths and calls only these.  On a phone
 * (KORV_ROOT unset) each wrapper is the plain call. */
#ifndef KOR_PLATFORM_H
#define KOR_PLATFORM_H

#include <stddef.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KOR_PATH_MAX 4096

/* The root, or NULL when KORV_ROOT is unset or empty.  Read once. */
const char *kor_root(void);
/* Writes the mapped path of `path` into out; 0, or -1 (errno ENAMETOOLONG)
 * when it does not fit. */
int kor_path_map(const char *path, char *out, size_t cap);

int kor_open(const char *path, int flags, ...);
FILE *kor_fopen(const char *path, const char *mode);
int kor_stat(const char *path, struct stat *st);
int kor_unlink(const char *path);
/* The target is stored as given (a pty slave name is never mapped). */
int kor_symlink(const char *target, const char *linkpath);
int kor_chmod(const char *path, mode_t mode);
int kor_chown(const char *path, uid_t uid, gid_t gid);
void *kor_dlopen(const char *path, int flags);
/* Maps every word of the command that starts with /data/, /system/, /sys/
 * or /dev/, then runs it with system(3). */
int kor_system(const char *command);
/* On the simulated phone a request on a descriptor of /dev/modem is answered
 * by the simulated driver; everything else goes to ioctl(2). */
int kor_ioctl(int fd, unsigned long request, void *arg);

#ifdef __cplusplus
}
#endif
#endif
