/* File services: stdio on device paths, mapped below the device root by the
 * platform seam.  A null handle is refused instead of crashing in stdio. */
#include <errno.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kor_os.h"
#include "kor_platform.h"

FILE *tp_fopen(const char *path, const char *mode) { return kor_fopen(path, mode); }

int tp_fseek(FILE *h, long offset, int whence) { return h != NULL ? fseek(h, offset, whence) : -1; }

size_t tp_fread(void *buf, size_t size, size_t count, FILE *h) {
    return h != NULL && buf != NULL ? fread(buf, size, count, h) : 0;
}

size_t tp_fwrite(const void *buf, size_t size, size_t count, FILE *h) {
    return h != NULL && buf != NULL ? fwrite(buf, size, count, h) : 0;
}

int tp_fflush(FILE *h) { return h != NULL ? fflush(h) : EOF; }

int tp_fclose(FILE *h) { return h != NULL ? fclose(h) : EOF; }

int tp_fexist(const char *path) {
    struct stat st;
    return kor_stat(path, &st) == 0 ? 0 : -1;
}

int tp_os_write_all(int fd, const void *buf, size_t n, int64_t offset, size_t *done) {
    const char *p = (const char *)buf;
    size_t put = 0;
    int rc = 0;
    while (put < n) {
        ssize_t got = offset >= 0 ? pwrite(fd, p + put, n - put, (off_t)offset + (off_t)put)
                                  : write(fd, p + put, n - put);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            if (got == 0) errno = EIO;
            rc = -1;
            break;
        }
        put += (size_t)got;
    }
    if (done != NULL) *done = put;
    return rc;
}
