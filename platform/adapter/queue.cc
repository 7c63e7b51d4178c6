/* Message queues: bounded rings of fixed-size messages of at most 8 bytes,
 * carried by value.  The message of a send is the pointer argument itself
 * (callers pass a record address), cut to the queue's message size; receive
 * stores it back into the caller's pointer.
 *
 * Locking: the queue table's lock guards the table; each queue's `lock`
 * guards its ring, `deleted` and `users`.  A call finds its queue under the
 * table lock and counts itself in `users` before letting go of it, so delete
 * (which first takes the queue out of the table, then wakes every waiter and
 * waits for `users` to drain) never frees a queue under a caller.  Lock
 * order: table, then queue.  A waiting thread that gets deleted gives up its
 * wait, leaves the queue unlocked and uncounted, and only then ends. */
#include <errno.h>
#include <pthread.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <string>

#include "adapter_int.h"
#include "kor_os.h"

#define QUEUE_MSG_MAX 8u
#define QUEUE_SPIN_NS 20000L

typedef struct kor_queue_st {
    std::string name;
    uint32_t msg_size;
    uint32_t depth;
    uint64_t *ring;
    uint32_t head;
    std::atomic<uint32_t> count; /* written under `lock`; a waiter may watch it without */
    int deleted;
    int users;
    pthread_mutex_t lock;
    pthread_cond_t not_empty;
    pthread_cond_t not_full;
    pthread_cond_t drained;
} kor_queue_st;

static kor_id_table<kor_queue_st *> &queue_table(void) {
    static auto *table = new kor_id_table<kor_queue_st *>;
    return *table;
}

/* The queue layer keeps no state that needs setting up before the first
 * queue; init is kept for callers that bring the layer up explicitly. */
int tp_os_queue_init(void) {
    (void)queue_table();
    return 0;
}

uint64_t tp_os_queue_create(const char *name, uint32_t msg_size, uint32_t depth) {
    if (kor_fault_hit("queue", name)) return KOR_OS_FAIL;
    if (msg_size == 0 || msg_size > QUEUE_MSG_MAX || depth == 0) {
        tp_os_str_printf(KOR_ADAPTER_MOD, KOR_LVL_ERROR,
                         KOR_ADAPTER_TAG "queue %s: message size %u depth %u not supported\n",
                         name != NULL ? name : "", msg_size, depth);
        return KOR_OS_FAIL;
    }
    kor_queue_st *q = new kor_queue_st;
    q->name = name != NULL ? name : "";
    q->msg_size = msg_size;
    q->depth = depth;
    q->ring = new uint64_t[depth];
    q->head = 0;
    q->count = 0;
    q->deleted = q->users = 0;
    pthread_mutex_init(&q->lock, NULL);
    kor_cond_init(&q->not_empty);
    kor_cond_init(&q->not_full);
    kor_cond_init(&q->drained);
    kor_id_table<kor_queue_st *> &t = queue_table();
    std::lock_guard<std::shared_mutex> hold(t.lock);
    return t.insert_locked(q);
}

/* Finds the queue and returns it locked, counted in `users`; NULL for an
 * unknown id. */
static kor_queue_st *queue_enter(uint64_t qid) {
    kor_id_table<kor_queue_st *> &t = queue_table();
    /* Shared: a sender and a receiver look their queue up side by side. */
    std::shared_lock<std::shared_mutex> hold(t.lock);
    auto it = t.items.find(qid);
    if (it == t.items.end()) return NULL;
    kor_queue_st *q = it->second;
    pthread_mutex_lock(&q->lock);
    q->users++;
    return q;
}

/* Undoes queue_enter.  A call that failed may have failed because its
 * thread was deleted: the thread ends here, with the queue released.  A call
 * that succeeded returns first, so no message is lost with its thread. */
static int queue_leave(kor_queue_st *q, int rc) {
    if (--q->users == 0 && q->deleted) pthread_cond_signal(&q->drained);
    pthread_mutex_unlock(&q->lock);
    if (rc != 0) kor_thread_exit_if_deleted();
    return rc;
}

void kor_queue_wake_all(void) {
    kor_id_table<kor_queue_st *> &t = queue_table();
    std::lock_guard<std::shared_mutex> hold(t.lock);
    for (auto &item : t.items) {
        kor_queue_st *q = item.second;
        pthread_mutex_lock(&q->lock);
        pthread_cond_broadcast(&q->not_empty);
        pthread_cond_broadcast(&q->not_full);
        pthread_mutex_unlock(&q->lock);
    }
}

/* Watches *blocked_count for up to QUEUE_SPIN_NS with the queue unlocked
 * before a waiter sleeps.  Under a burst the NV writer frees a slot (or the
 * dispatcher fills one) every few microseconds; a waiter that sees it awake
 * saves both threads a futex wait and wake per message, which cost more than
 * the message itself.  Short, so that a real-time waiter keeps its CPU from
 * kernel workers only briefly.  Called with q->lock held; returns with it. */
static void queue_spin(kor_queue_st *q, const std::atomic<uint32_t> *blocked_count, uint32_t blocked_at) {
    pthread_mutex_unlock(&q->lock);
    struct timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    do {
        if (blocked_count->load(std::memory_order_relaxed) != blocked_at) break;
        clock_gettime(CLOCK_MONOTONIC, &now);
    } while ((now.tv_sec - start.tv_sec) * 1000000000L + (now.tv_nsec - start.tv_nsec) < QUEUE_SPIN_NS);
    pthread_mutex_lock(&q->lock);
}

/* Waits on cond while *blocked_count is blocked_at; 0 when that ended, -1
 * on time-out, deletion of the queue or of the calling thread.  Called with
 * q->lock held. */
static int queue_wait(kor_queue_st *q, pthread_cond_t *cond, const std::atomic<uint32_t> *blocked_count,
                      uint32_t blocked_at, uint32_t timeout) {
    struct timespec at;
    if (timeout != KOR_OS_WAIT_FOREVER) kor_deadline_after(timeout, &at);
    if (timeout != 0 && *blocked_count == blocked_at) queue_spin(q, blocked_count, blocked_at);
    while (*blocked_count == blocked_at && !q->deleted && !kor_thread_deleted()) {
        if (timeout == KOR_OS_WAIT_FOREVER) {
            pthread_cond_wait(cond, &q->lock);
        } else if (pthread_cond_timedwait(cond, &q->lock, &at) == ETIMEDOUT) {
            break;
        }
    }
    return (*blocked_count == blocked_at || q->deleted || kor_thread_deleted()) ? -1 : 0;
}

int tp_os_queue_send(uint64_t qid, const void *msg, uint32_t timeout) {
    kor_queue_st *q = queue_enter(qid);
    if (q == NULL) return -1;
    int rc = queue_wait(q, &q->not_full, &q->count, q->depth, timeout);
    if (rc == 0) {
        uint64_t value = (uint64_t)(uintptr_t)msg;
        if (q->msg_size < QUEUE_MSG_MAX) value &= (1ull << (8 * q->msg_size)) - 1;
        q->ring[(q->head + q->count) % q->depth] = value;
        q->count++;
        pthread_cond_signal(&q->not_empty);
    }
    return queue_leave(q, rc);
}

int tp_os_queue_receive(uint64_t qid, void **msg, uint32_t timeout) {
    if (msg == NULL) return -1;
    kor_queue_st *q = queue_enter(qid);
    if (q == NULL) return -1;
    int rc = queue_wait(q, &q->not_empty, &q->count, 0, timeout);
    if (rc == 0) {
        *msg = (void *)(uintptr_t)q->ring[q->head];
        q->head = (q->head + 1) % q->depth;
        q->count--;
        pthread_cond_signal(&q->not_full);
    }
    return queue_leave(q, rc);
}

int tp_os_queue_delete(uint64_t qid) {
    kor_queue_st *q = NULL;
    if (!queue_table().take(qid, &q)) return -1;
    pthread_mutex_lock(&q->lock);
    q->deleted = 1;
    pthread_cond_broadcast(&q->not_empty);
    pthread_cond_broadcast(&q->not_full);
    while (q->users > 0) pthread_cond_wait(&q->drained, &q->lock);
    pthread_mutex_unlock(&q->lock);

    pthread_mutex_destroy(&q->lock);
    pthread_cond_destroy(&q->not_empty);
    pthread_cond_destroy(&q->not_full);
    pthread_cond_destroy(&q->drained);
    delete[] q->ring;
    delete q;
    return 0;
}
