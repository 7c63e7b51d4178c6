/* bench-synctime.so: preloaded into korv by the durable-latency figure, never
 * part of korv.  Every fdatasync that succeeds appends the moment it
 * returned (CLOCK_MONOTONIC, 8 bytes, one write) to the file named by
 * BENCH_SYNC_TIMES, so the runner sees when an entry became durable. */
#include <dlfcn.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

using fdatasync_fn = int (*)(int);

static std::atomic<int> s_times_fd{-1};

static int times_fd(void)
{
    int fd = s_times_fd.load();
    if (fd >= 0)
        return fd;
    const char *path = getenv("BENCH_SYNC_TIMES");
    fd = path != nullptr ? open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644) : -1;
    int none = -1;
    if (fd >= 0 && !s_times_fd.compare_exchange_strong(none, fd)) {
        close(fd);
        fd = none;
    }
    return fd;
}

extern "C" int fdatasync(int fd)
{
    static fdatasync_fn real = (fdatasync_fn)dlsym(RTLD_NEXT, "fdatasync");
    int rc = real(fd);
    if (rc == 0) {
        struct timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        uint64_t ns = (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
        int out = times_fd();
        /* A time that cannot be written: the figure waits for it in vain
         * and says so. */
        if (out >= 0) {
            ssize_t put = write(out, &ns, sizeof ns);
            (void)put;
        }
    }
    return rc;
}
