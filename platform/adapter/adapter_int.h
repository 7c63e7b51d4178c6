/* Internals shared by the adapter's service files: the id tables behind
 * thread, queue and mutex ids, and the fault hook's query.  Not part of the
 * library's interface. */
#ifndef KOR_ADAPTER_INT_H
#define KOR_ADAPTER_INT_H

#include <pthread.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <time.h>

#include <mutex>
#include <shared_mutex>
#include <unordered_map>

/* Adapter diagnostics go to the daemon's log under this module and tag. */
#define KOR_ADAPTER_MOD 3
#define KOR_ADAPTER_TAG "[ADAPTER] "

/* Maps the ids handed to callers to the objects behind them.  Tables are
 * allocated once and never destroyed: the daemon exits from a signal handler
 * while its threads still run, and a destroyed table would turn their last
 * calls into use-after-free.  `lock` guards `items` and `next_id`. */
template <typename T>
struct kor_id_table {
    std::shared_mutex lock; /* shared for look-ups, exclusive for changes */
    std::unordered_map<uint64_t, T> items;
    uint64_t next_id = 1;

    /* Callers test the failure value in 32 as well as 64 bits, so an id never
     * has its low 32 bits all ones (nor is it 0).  Call with `lock` held. */
    uint64_t insert_locked(T item) {
        while ((uint32_t)next_id == 0xFFFFFFFFu || (uint32_t)next_id == 0) next_id++;
        uint64_t id = next_id++;
        items.emplace(id, item);
        return id;
    }

    /* Removes the item of `id` into *out; false when there is none. */
    bool take(uint64_t id, T *out) {
        std::lock_guard<std::shared_mutex> hold(lock);
        auto it = items.find(id);
        if (it == items.end()) return false;
        *out = it->second;
        items.erase(it);
        return true;
    }
};

/* A condition whose timed waits run on the monotonic clock, and the
 * deadline `ms` from now on that clock. */
void kor_cond_init(pthread_cond_t *cond);
void kor_deadline_after(uint32_t ms, struct timespec *at);

/* Thread deletion is honoured at the adapter's wait points.  The calling
 * thread ends here (pthread_exit) when it has been deleted; threads the
 * adapter did not start are never deleted. */
void kor_thread_exit_if_deleted(void);
/* 1 when the calling thread has been deleted; read under the lock of the
 * wait it is about to enter. */
int kor_thread_deleted(void);
/* Wakes every queue waiter so a deleted one can see its flag; takes the
 * queue table's lock and each queue's. */
void kor_queue_wake_all(void);

/* The liblog sink (log_liblog.cc, built with KORV_LOG_LIBLOG): one line
 * of `level` to the radio buffer. */
void kor_log_liblog(int level, const char *format, va_list ap);

/* 1 when the fault hook asks creation of `kind` ("mutex", "queue", "thread")
 * named `name` to fail. */
int kor_fault_hit(const char *kind, const char *name);

/* Log lines of the daemon leave in batches (log_batch.cc).  put: 0 when the finished line is in the calling
 * thread's buffer, -1 when the caller must write it itself. */
int kor_log_batch_put(const char *line, size_t len, pid_t tid);
/* Writes every batched line now (to the sink in force: before it changes). */
void kor_log_batch_drain(void);
/* The sink's write of `count` pieces, one writev while the sink takes it
 * all (so a batch never interleaves with another), short writes continued,
 * never retried after a failure and never waiting; 0, or -1 (counted as a
 * failed write) when the sink refused the rest.  *written: the bytes that
 * went, either way.  The pieces are consumed. */
int kor_log_write(struct iovec *iov, int count, size_t *written);
/* Counts lines that never reached the sink. */
void kor_log_dropped(uint64_t lines);

/* vsnprintf's output and result for the log's formats, without its cost
 * (log_format.cc); formats it does not render itself go to vsnprintf. */
int kor_log_vformat(char *buf, size_t cap, const char *format, va_list ap);
/* Writes v in decimal, at least min_digits long (zeros in front); returns
 * the end.  p needs room for 20 digits or min_digits. */
char *kor_log_put_uint(char *p, uint64_t v, int min_digits);

#endif
