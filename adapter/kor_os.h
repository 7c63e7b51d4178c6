/* OS and file services of libkor_adapter.so: logging, threads, queues,
 * mutexes, memory and the tp_f* file calls.  Every path handed to the file
 * calls is a device path; the adapter maps it below KORV_ROOT when that is set
 * (see kor_platform.h).  Creation calls return KOR_OS_FAIL (all ones) on
 * failure. */
#ifndef KOR_OS_H
#define KOR_OS_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KOR_OS_FAIL ((uint64_t)~(uint64_t)0)
#define KOR_OS_WAIT_FOREVER 0xFFFFFFFFu
#define OS_SUCCESS 0u

/* Log modules and levels used by the daemon. */
#define KOR_MOD_DMI 1
#define KOR_MOD_CORE 3
#define KOR_MOD_NVRAM 4
#define KOR_MOD_MODEM 8
#define KOR_LVL_ERROR 2
#define KOR_LVL_FLOW 8

/* Logging: one line per call, whole, no lock on the path, so it is safe
 * from the signal handler's teardown.  Sink: KORV_LOG_FILE or standard
 * error.  Lines leave one write(2) each, except in a process that called
 * tp_os_log_batch_start. */
void tp_os_log_init(int mode);
/* From now on each thread's lines leave in batches, within a few ms of
 * being made (a flusher thread); 0, or -1 (logged) when the flusher cannot
 * start and lines keep leaving one write each.  The daemon calls it once,
 * after tp_os_log_init. */
int tp_os_log_batch_start(void);
/* Writes every batched line now and lets each later line leave directly.
 * For the way out (exit signal, kill of the group, exit); no lock, no
 * allocation, bounded. */
void tp_os_log_flush(void);
/* Writes to the sink that failed (their lines lost, or retried by the
 * flusher), and lines that never reached the sink. */
uint64_t tp_os_log_failed_writes(void);
uint64_t tp_os_log_dropped_lines(void);
void tp_os_str_printf(int module, int level, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
/* Which lines go out: KOR_LVL_FLOW (every line, the default) or
 * KOR_LVL_ERROR (error lines only).  Set at run time, not kept.  0, or -1
 * for any other level. */
int tp_os_log_set_level(int level);
int tp_os_log_level(void);
/* "stderr", or the path of the log file lines go to. */
const char *tp_os_log_sink(void);

/* Threads.  The entry gets `arg`.  Priority: see docs/adapter.md for the scale
 * (negative values keep the creator's scheduling).  Returns the thread id or
 * KOR_OS_FAIL. */
typedef void *(*tp_os_thread_entry_t)(void *arg);
uint64_t tp_os_thread_create(const char *name, tp_os_thread_entry_t entry,
                             int priority, uint32_t size_hint, void *arg);
void tp_os_thread_sleep(uint32_t ms);
/* Deferred: the thread ends at its next wait in the adapter (queue send or
 * receive, sleep), releasing the queue it waited on. */
int tp_os_thread_delete(uint64_t tid);
/* The signals that end the daemon through its exit handler, in the order
 * the handler is installed (use with <signal.h>).  SIGSEGV and SIGBUS are
 * raised by the faulting thread itself and are never blocked. */
#define KOR_EXIT_SIGNALS SIGUSR2, SIGPIPE, SIGINT, SIGTERM, SIGSEGV, SIGBUS, SIGQUIT
/* Blocks the terminating signals (not SIGSEGV/SIGBUS) on the calling thread. */
int tp_os_thread_signal_register(void);

/* Queues of fixed-size messages (at most 8 bytes, carried by value). */
int tp_os_queue_init(void);
uint64_t tp_os_queue_create(const char *name, uint32_t msg_size, uint32_t depth);
int tp_os_queue_delete(uint64_t qid);
/* Blocks while full.  timeout in ms, KOR_OS_WAIT_FOREVER = no limit.
 * Returns 0 when queued, -1 on time-out or bad id. */
int tp_os_queue_send(uint64_t qid, const void *msg, uint32_t timeout);
/* Stores the next message in *msg and returns 0; else stores nothing. */
int tp_os_queue_receive(uint64_t qid, void **msg, uint32_t timeout);

/* Mutexes. */
uint64_t tp_os_mutex_create(const char *name, int attr);
int tp_os_mutex_delete(uint64_t mid);

/* Memory. */
void *tp_os_mem_malloc(size_t size);
void tp_os_mem_free(void *p);
void tp_os_mem_set(void *p, int byte, size_t size);
void tp_os_mem_cpy(void *dst, const void *src, size_t n);

/* Files (paths mapped below KORV_ROOT). */
FILE *tp_fopen(const char *path, const char *mode);
int tp_fseek(FILE *h, long offset, int whence);
size_t tp_fread(void *buf, size_t size, size_t count, FILE *h);
size_t tp_fwrite(const void *buf, size_t size, size_t count, FILE *h);
int tp_fflush(FILE *h);
int tp_fclose(FILE *h);
int tp_fexist(const char *path); /* 0 when the file exists */
/* Writes all n bytes of buf to fd: at `offset` (pwrite, the file position
 * untouched) when offset >= 0, else at the file position (write).  Goes on
 * after EINTR and after short writes.  0, or -1 with errno from the call
 * that failed (a call that wrote nothing and reported no error gives EIO).
 * *done, when not NULL, gets the bytes that reached the file either way. */
int tp_os_write_all(int fd, const void *buf, size_t n, int64_t offset, size_t *done);

/* Fault injection for tests: a comma-separated list of "kind:name" entries,
 * kinds "mutex", "queue", "thread" (name = the object's name).  A matching
 * creation returns KOR_OS_FAIL.  The environment variable KORV_FAULT is read
 * the first time a creation call runs; kor_fault_set replaces it (NULL
 * clears). */
void kor_fault_set(const char *faults);

/* Thread priority table; index 44 is the NVRAM writer. */
#define KOR_PRI_TBL_SIZE 64
extern uint8_t g_pf_task_pri_tbl[KOR_PRI_TBL_SIZE];

#ifdef __cplusplus
}
#endif
#endif
