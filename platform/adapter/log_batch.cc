/* Batched log lines of the daemon: each logging thread copies its finished
 * lines into a buffer of its own, and they leave in one write(2) per buffer
 * instead of one per line.  Only a process that calls tp_os_log_batch_start
 * (korv) batches; every other user of the adapter (tools, tests that read
 * the log right after each call) writes each line directly.
 *
 * Ownership: a fixed table of slots, each a 64 KiB ring mapped once and kept
 * for the life of the process.  A slot's producer is the one thread that
 * claimed it (`claimed`, taken by exchange, given back by the thread's key
 * destructor once the ring is empty); only the producer moves `head`.  The
 * drainer is whoever holds `drainer` (the tid that took it with an exchange:
 * the flusher thread, the producer when its ring is full, or an exit path),
 * and only the drainer moves `tail`.  No lock anywhere: the signal handler
 * logs and flushes on this path while other threads may be anywhere.
 *
 * The flusher thread drains every ring at least every LOG_TICK_MS while
 * lines come, and at once when a ring passes half full; it sleeps without a
 * timeout while all rings are empty, and the first line after that wakes it.
 * tp_os_log_flush ends batching for the rest of the process's life and
 * drains every ring: the exit paths call it before the process goes. */
#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "adapter_int.h"
#include "kor_os.h"

#define LOG_RING_SIZE (64u * 1024u) /* a power of two: positions wrap by mask */
#define LOG_SLOTS 64
#define LOG_TICK_MS 2
#define LOG_FLUSHER_STACK (64u * 1024u)
/* An exit path waits this long for another thread's drain before it takes
 * the ring over (that thread may be stuck on a slow sink, or gone). */
#define LOG_TAKEOVER_SPINS 2000
#define LOG_PAUSE_NS 100000

/* The producer's fields and the drainer's sit on cache lines of their own
 * (and each slot on its own pair): a line logged must not pull a cache line
 * out from under the flusher or another logging thread. */
struct alignas(128) log_slot_st {
    std::atomic<int> claimed{0};          /* producer thread's claim */
    std::atomic<char *> ring{nullptr};    /* mapped by the first claimer, kept */
    std::atomic<uint64_t> head{0};        /* producer only */
    uint64_t tail_seen{0};                /* producer only: tail when it last looked, <= tail */
    alignas(64) std::atomic<uint64_t> tail{0}; /* drainer only */
    std::atomic<pid_t> drainer{0};        /* tid of the thread draining, 0 */
};

static log_slot_st s_slots[LOG_SLOTS];
/* Set by tp_os_log_init's start, cleared by tp_os_log_flush and in a forked
 * child (which never writes its parent's rings). */
static std::atomic<int> s_batching{0};
static std::atomic<int> s_flusher_started{0};
/* Futex word the flusher waits on; producers bump it to wake the flusher. */
static std::atomic<uint32_t> s_wake{0};
/* 1 while the flusher sleeps without a timeout (all rings were empty). */
static std::atomic<int> s_flusher_idle{0};
static pthread_key_t s_slot_key;

/* The calling thread's slot, and whether it is inside an append or a drain
 * (a signal handler landing then must not touch the same ring as producer).
 * Initial-exec TLS never allocates. */
static thread_local log_slot_st *t_slot __attribute__((tls_model("initial-exec")));
static thread_local int t_in_log __attribute__((tls_model("initial-exec")));

/* Waiting for another drainer sleeps rather than yields: a real-time
 * thread's sched_yield never lets the normal-priority flusher, which may
 * hold the ring on this CPU, finish. */
static void log_pause(void) {
    struct timespec pause = {0, LOG_PAUSE_NS};
    nanosleep(&pause, NULL);
}

static void log_futex_wake(void) {
    s_wake.fetch_add(1);
    syscall(SYS_futex, &s_wake, FUTEX_WAKE_PRIVATE, 1, NULL, NULL, 0);
}

/* Writes what is committed in the ring; the caller holds `drainer`. */
static void log_slot_write(log_slot_st *slot) {
    char *ring = slot->ring.load(std::memory_order_acquire);
    uint64_t tail = slot->tail.load(std::memory_order_relaxed);
    uint64_t head = slot->head.load(std::memory_order_acquire);
    if (ring == nullptr || head == tail) return;
    size_t at = (size_t)(tail & (LOG_RING_SIZE - 1));
    size_t len = (size_t)(head - tail);
    size_t first = len < LOG_RING_SIZE - at ? len : LOG_RING_SIZE - at;
    /* One call for both pieces of a wrapped ring: two writes would let
     * another ring's batch in between, in the middle of a line. */
    struct iovec iov[2] = {{ring + at, first}, {ring, len - first}};
    kor_log_write(iov, first < len ? 2 : 1);
    slot->tail.store(head, std::memory_order_release);
}

/* One drain if nobody else drains this ring now; 0 done, -1 busy. */
static int log_slot_try_drain(log_slot_st *slot, pid_t tid) {
    pid_t none = 0;
    if (!slot->drainer.compare_exchange_strong(none, tid, std::memory_order_acquire)) return -1;
    log_slot_write(slot);
    slot->drainer.store(0, std::memory_order_release);
    return 0;
}

/* Drains even when another drainer holds the ring, after a bounded wait.
 * A drainer that is this very thread was interrupted by the signal handler
 * and never resumes before the exit; taking its ring over may write again
 * the bytes its cut-off write already wrote, but loses none. */
static void log_slot_drain_takeover(log_slot_st *slot, pid_t tid) {
    for (int i = 0; i < LOG_TAKEOVER_SPINS; i++) {
        pid_t holder = slot->drainer.load(std::memory_order_acquire);
        if (holder == tid) break;
        if (log_slot_try_drain(slot, tid) == 0) return;
        log_pause();
    }
    slot->drainer.exchange(tid, std::memory_order_acquire);
    log_slot_write(slot);
    slot->drainer.store(0, std::memory_order_release);
}

/* A producer whose ring is full drains it itself: korv slows down to the
 * sink's pace, nothing is dropped. */
static void log_slot_make_room(log_slot_st *slot, size_t len, pid_t tid) {
    uint64_t head = slot->head.load(std::memory_order_relaxed);
    /* The drainer's tail is read only when the ring looks full by the last
     * look: most lines touch no cache line the drainer writes. */
    while (LOG_RING_SIZE - (head - slot->tail_seen) < len) {
        slot->tail_seen = slot->tail.load(std::memory_order_acquire);
        if (LOG_RING_SIZE - (head - slot->tail_seen) >= len) break;
        if (log_slot_try_drain(slot, tid) != 0) log_pause();
    }
}

static void log_slot_copy(log_slot_st *slot, const char *line, size_t len) {
    char *ring = slot->ring.load(std::memory_order_relaxed);
    uint64_t head = slot->head.load(std::memory_order_relaxed);
    size_t at = (size_t)(head & (LOG_RING_SIZE - 1));
    size_t first = len < LOG_RING_SIZE - at ? len : LOG_RING_SIZE - at;
    memcpy(ring + at, line, first);
    memcpy(ring, line + first, len - first);
    /* Sequentially consistent: pairs with the flusher's idle flag below, so
     * either the flusher sees this line or this thread sees it asleep. */
    slot->head.store(head + len);
    uint64_t used = head + len - slot->tail_seen; /* from the last look: never less than it holds */
    int crossed = used >= LOG_RING_SIZE / 2 && used - len < LOG_RING_SIZE / 2;
    if (crossed || (s_flusher_idle.load() == 1 && s_flusher_idle.exchange(0) == 1)) log_futex_wake();
}

static log_slot_st *log_slot_claim(void) {
    for (int i = 0; i < LOG_SLOTS; i++) {
        log_slot_st *slot = &s_slots[i];
        if (slot->claimed.load(std::memory_order_relaxed) != 0 || slot->claimed.exchange(1) != 0) continue;
        if (slot->ring.load(std::memory_order_acquire) == nullptr) {
            void *map = mmap(NULL, LOG_RING_SIZE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (map == MAP_FAILED) {
                slot->claimed.store(0);
                return nullptr;
            }
            slot->ring.store((char *)map, std::memory_order_release);
        }
        slot->tail_seen = slot->tail.load(std::memory_order_acquire);
        pthread_setspecific(s_slot_key, slot);
        return slot;
    }
    return nullptr; /* more logging threads than slots: this one writes directly */
}

/* The thread ends: its lines leave now and the slot serves the next thread. */
static void log_slot_release(void *arg) {
    log_slot_st *slot = (log_slot_st *)arg;
    pid_t tid = gettid();
    while (slot->head.load(std::memory_order_relaxed) != slot->tail.load(std::memory_order_acquire))
        if (log_slot_try_drain(slot, tid) != 0) log_pause();
    t_slot = nullptr;
    slot->claimed.store(0, std::memory_order_release);
}

/* Every ring once; 1 when any had lines. */
static int log_drain_all(pid_t tid) {
    int had = 0;
    for (int i = 0; i < LOG_SLOTS; i++) {
        log_slot_st *slot = &s_slots[i];
        if (slot->head.load() == slot->tail.load(std::memory_order_acquire)) continue;
        had = 1;
        log_slot_try_drain(slot, tid);
    }
    return had;
}

static void *log_flusher(void *arg) {
    (void)arg;
    /* The exit handler runs elsewhere, never in the middle of a drain here. */
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, NULL);
    pid_t tid = gettid();
    for (;;) {
        uint32_t seen = s_wake.load();
        if (log_drain_all(tid)) {
            struct timespec tick = {0, LOG_TICK_MS * 1000000L};
            syscall(SYS_futex, &s_wake, FUTEX_WAIT_PRIVATE, seen, &tick, NULL, 0);
            continue;
        }
        /* Idle: announce it, then look once more, so a line committed
         * meanwhile is either seen here or wakes the wait below. */
        s_flusher_idle.store(1);
        seen = s_wake.load();
        if (log_drain_all(tid)) {
            s_flusher_idle.store(0);
            continue;
        }
        syscall(SYS_futex, &s_wake, FUTEX_WAIT_PRIVATE, seen, NULL, NULL, 0);
    }
    return NULL;
}

static void log_batch_forked(void) {
    s_batching.store(0);
    t_slot = nullptr;
}

int tp_os_log_batch_start(void) {
    if (s_flusher_started.exchange(1) != 0) return 0;
    pthread_attr_t attr;
    pthread_t flusher;
    if (pthread_key_create(&s_slot_key, log_slot_release) != 0) return -1;
    pthread_atfork(NULL, NULL, log_batch_forked);
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, LOG_FLUSHER_STACK);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    int rc = pthread_create(&flusher, &attr, log_flusher, NULL);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        tp_os_str_printf(KOR_ADAPTER_MOD, KOR_LVL_ERROR,
                         KOR_ADAPTER_TAG "log flusher not started, one write per line\n");
        return -1;
    }
    pthread_setname_np(flusher, "korv_log");
    s_batching.store(1);
    atexit(tp_os_log_flush);
    return 0;
}

int kor_log_batch_put(const char *line, size_t len, pid_t tid) {
    if (s_batching.load(std::memory_order_relaxed) == 0) return -1;
    log_slot_st *slot = t_slot;
    if (t_in_log != 0) {
        /* A signal handler interrupted this thread's own append or drain:
         * what is committed goes first when the ring is free, then this
         * line directly. */
        if (slot != nullptr) log_slot_try_drain(slot, tid);
        return -1;
    }
    t_in_log = 1;
    if (slot == nullptr) slot = t_slot = log_slot_claim();
    if (slot != nullptr) {
        log_slot_make_room(slot, len, tid);
        log_slot_copy(slot, line, len);
        /* An exit path ended batching while this line was on its way in:
         * it must not stay behind in the ring. */
        if (s_batching.load() == 0) log_slot_drain_takeover(slot, tid);
    }
    t_in_log = 0;
    return slot != nullptr ? 0 : -1;
}

/* Every ring, waiting for (and if need be taking over) other drainers. */
static void log_drain_every_ring(void) {
    pid_t tid = gettid();
    for (int i = 0; i < LOG_SLOTS; i++) log_slot_drain_takeover(&s_slots[i], tid);
}

void kor_log_batch_drain(void) {
    if (s_batching.load() != 0) log_drain_every_ring();
}

void tp_os_log_flush(void) {
    if (s_batching.exchange(0) != 0) log_drain_every_ring();
}
