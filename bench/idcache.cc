/* bench-idcache.so: a what-if for experiments, never part of korv.  Preloaded
 * into korv (korv-bench --korv-env LD_PRELOAD=.../bench-idcache.so), it
 * answers getpid() and gettid() from a per-process and a per-thread cache
 * instead of a system call each, which is what every log line asks twice.
 * The difference it makes shows what the log path's two id look-ups cost.
 *
 * A fork child would see its parent's cached pid until it execs; korv's only
 * children exec at once (system(3)), and exec starts with an empty cache. */
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

static pid_t s_pid;
static __thread pid_t s_tid;

extern "C" pid_t getpid(void)
{
    if (s_pid == 0)
        s_pid = (pid_t)syscall(SYS_getpid);
    return s_pid;
}

extern "C" pid_t gettid(void)
{
    if (s_tid == 0)
        s_tid = (pid_t)syscall(SYS_gettid);
    return s_tid;
}
