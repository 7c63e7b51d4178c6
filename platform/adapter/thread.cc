/* Threads: named, detached POSIX threads behind ids, with a priority scale,
 * a stack size hint, deletion and per-thread signal blocking.
 *
 * Priority: negative keeps the creator's scheduling, 0 is SCHED_OTHER, 1..99
 * is SCHED_FIFO at that priority (clamped to what the system offers).  The
 * thread applies it to itself before its entry runs; without the privilege
 * it keeps the inherited scheduling and nothing is reported.
 * Stack: the size hint counts KiB, with a floor of THREAD_STACK_MIN, so the
 * small hints callers pass still leave the sanitizers room.
 *
 * Deletion is a deferred cancel: the thread is flagged and woken, and ends
 * itself (pthread_exit, so its cleanups run) at its next wait in the
 * adapter: a queue send or receive, or a sleep.  Asynchronous
 * pthread_cancel is not used: it unwinds from a signal handler, which the
 * sanitizer runtime cannot follow, and it could stop a thread inside stdio.
 *
 * Ownership: the thread table (its lock) guards the records; a record is
 * freed by its own thread as it ends, after leaving the table, so deletion
 * (which holds the table lock) never touches a freed record.  A record's
 * `lock` guards its sleep; `deleted` is atomic. */
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <time.h>

#include <atomic>

#include "adapter_int.h"
#include "kor_os.h"

#define THREAD_NAME_MAX 15 /* the kernel keeps 15 characters of a name */
#define THREAD_STACK_MIN (1024u * 1024u)
#define THREAD_STACK_MAX (64u * 1024u * 1024u)

typedef struct kor_thread_st {
    uint64_t id;
    tp_os_thread_entry_t entry;
    void *arg;
    int priority;
    char name[THREAD_NAME_MAX + 1];
    std::atomic<int> deleted;
    pthread_mutex_t lock;
    pthread_cond_t wake;
} kor_thread_st;

static thread_local kor_thread_st *t_self; /* NULL on threads the adapter did not start */

static kor_id_table<kor_thread_st *> &thread_table(void) {
    static auto *table = new kor_id_table<kor_thread_st *>;
    return *table;
}

static void thread_record_free(kor_thread_st *rec) {
    pthread_mutex_destroy(&rec->lock);
    pthread_cond_destroy(&rec->wake);
    delete rec;
}

static void thread_forget(void *p) {
    kor_thread_st *rec = (kor_thread_st *)p;
    kor_id_table<kor_thread_st *> &t = thread_table();
    {
        std::lock_guard<std::shared_mutex> hold(t.lock);
        t.items.erase(rec->id);
    }
    t_self = NULL;
    thread_record_free(rec);
}

int kor_thread_deleted(void) { return t_self != NULL && t_self->deleted.load() != 0; }

void kor_thread_exit_if_deleted(void) {
    if (kor_thread_deleted()) pthread_exit(NULL);
}

static void thread_apply_priority(int priority) {
    if (priority < 0) return;
    struct sched_param sp;
    memset(&sp, 0, sizeof sp);
    int policy = SCHED_OTHER;
    if (priority > 0) {
        policy = SCHED_FIFO;
        int lo = sched_get_priority_min(SCHED_FIFO);
        int hi = sched_get_priority_max(SCHED_FIFO);
        sp.sched_priority = priority < lo ? lo : (priority > hi ? hi : priority);
    }
    /* EPERM without the privilege: the inherited scheduling is kept. */
    (void)pthread_setschedparam(pthread_self(), policy, &sp);
}

static void *thread_main(void *p) {
    kor_thread_st *rec = (kor_thread_st *)p;
    t_self = rec;
    if (rec->name[0] != '\0') pthread_setname_np(pthread_self(), rec->name);
    thread_apply_priority(rec->priority);
    void *ret = NULL;
    /* Runs on return and on pthread_exit alike. */
    pthread_cleanup_push(thread_forget, rec);
    ret = rec->entry(rec->arg);
    pthread_cleanup_pop(1);
    return ret;
}

static size_t thread_stack_size(uint32_t size_hint) {
    uint64_t bytes = (uint64_t)size_hint * 1024u;
    if (bytes < THREAD_STACK_MIN) bytes = THREAD_STACK_MIN;
    if (bytes > THREAD_STACK_MAX) bytes = THREAD_STACK_MAX;
    return (size_t)bytes;
}

static kor_thread_st *thread_record_new(const char *name, tp_os_thread_entry_t entry, int priority,
                                        void *arg) {
    kor_thread_st *rec = new kor_thread_st;
    rec->id = 0;
    rec->entry = entry;
    rec->arg = arg;
    rec->priority = priority;
    memset(rec->name, 0, sizeof rec->name);
    if (name != NULL) strncpy(rec->name, name, THREAD_NAME_MAX);
    rec->deleted = 0;
    pthread_mutex_init(&rec->lock, NULL);
    kor_cond_init(&rec->wake);
    return rec;
}

uint64_t tp_os_thread_create(const char *name, tp_os_thread_entry_t entry, int priority,
                             uint32_t size_hint, void *arg) {
    if (entry == NULL || kor_fault_hit("thread", name)) return KOR_OS_FAIL;
    kor_thread_st *rec = thread_record_new(name, entry, priority, arg);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, thread_stack_size(size_hint));

    kor_id_table<kor_thread_st *> &t = thread_table();
    uint64_t id = KOR_OS_FAIL;
    {
        /* Held across the create: the new thread cannot leave the table
         * before it has been entered. */
        std::lock_guard<std::shared_mutex> hold(t.lock);
        rec->id = t.insert_locked(rec);
        pthread_t th;
        int rc = pthread_create(&th, &attr, thread_main, rec);
        if (rc == 0) {
            id = rec->id;
        } else {
            t.items.erase(rec->id);
            tp_os_str_printf(KOR_ADAPTER_MOD, KOR_LVL_ERROR, KOR_ADAPTER_TAG "thread %s: create failed: %s\n",
                             rec->name, strerror(rc));
            thread_record_free(rec);
        }
    }
    pthread_attr_destroy(&attr);
    return id;
}

/* -1 when the id names no running thread (never created, ended, or deleted
 * before). */
int tp_os_thread_delete(uint64_t tid) {
    kor_id_table<kor_thread_st *> &t = thread_table();
    std::lock_guard<std::shared_mutex> hold(t.lock);
    auto it = t.items.find(tid);
    if (it == t.items.end() || it->second->deleted.exchange(1) != 0) return -1;
    kor_thread_st *rec = it->second;
    pthread_mutex_lock(&rec->lock);
    pthread_cond_broadcast(&rec->wake);
    pthread_mutex_unlock(&rec->lock);
    kor_queue_wake_all();
    return 0;
}

/* Threads the adapter started sleep on their own condition, so deletion can
 * cut the sleep short; others simply sleep. */
void tp_os_thread_sleep(uint32_t ms) {
    kor_thread_st *self = t_self;
    if (self == NULL) {
        struct timespec left = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
        while (nanosleep(&left, &left) != 0 && errno == EINTR) {
        }
        return;
    }
    struct timespec at;
    kor_deadline_after(ms, &at);
    pthread_mutex_lock(&self->lock);
    while (!self->deleted.load() && pthread_cond_timedwait(&self->wake, &self->lock, &at) != ETIMEDOUT) {
    }
    pthread_mutex_unlock(&self->lock);
    kor_thread_exit_if_deleted();
}

/* Blocks the terminating signals on the calling thread, so the daemon's
 * signal handler (its teardown) runs on some other thread and never on top of
 * this thread's half-done work.  SIGSEGV and SIGBUS stay open: they are raised
 * by the faulting thread itself and cannot be deferred. */
int tp_os_thread_signal_register(void) {
    static const int exit_signals[] = {KOR_EXIT_SIGNALS};
    sigset_t set;
    sigemptyset(&set);
    for (int sig : exit_signals)
        if (sig != SIGSEGV && sig != SIGBUS) sigaddset(&set, sig);
    return pthread_sigmask(SIG_BLOCK, &set, NULL) == 0 ? 0 : -1;
}
