/* Batched log lines of the daemon: each logging thread copies its finished
 * lines into a buffer of its own, and they leave in one writev(2) per batch
 * instead of one write per line.  Only a process that calls
 * tp_os_log_batch_start (korv) batches; every other user of the adapter
 * (tools, tests that read the log right after each call) writes each line
 * directly.
 *
 * Order: every line takes a number from one process-wide sequence when it
 * enters its buffer, and the drainer writes lines in that order, merging the
 * buffers.  Every number taken ends up in a buffer (it is taken only once
 * the line has room), so the drainer knows the next number due
 * (s_next_out): when no buffer holds it, its line is still on its way in,
 * and the drain stops there.  So the file keeps the order in which lines
 * were made across threads, and a line logged by a thread that another
 * thread's line started or woke comes after that line.  A line costs its
 * thread one shared atomic add; the drainer alone reads across slots.
 *
 * Ownership: a fixed table of slots, each a 64 KiB text ring and a ring of
 * line records (number, end), mapped once and kept for the life of the
 * process.  A slot's producer is the one thread that claimed it (`claimed`,
 * taken by exchange, given back by the thread's key destructor once the ring
 * is empty); only the producer moves `head` and `lines`.  There is one
 * drainer at a time for all slots: whoever holds s_drainer (the tid that
 * took it with an exchange: the flusher thread, a producer whose ring is
 * full, an exit path); only the drainer moves `tail`, `taken` and
 * s_next_out.  No lock
 * anywhere: the signal handler logs and flushes on this path while other
 * threads may be anywhere.
 *
 * The flusher thread drains at least every LOG_TICK_MS while lines come, and
 * at once when a ring passes half full; it sleeps without a timeout while
 * all rings are empty, and the first line after that wakes it.  A write that
 * fails leaves the flusher's lines in place for its next tick: it alone
 * retries.  A producer whose ring is full drains once itself and drops what
 * the sink refuses (counted), so a full disk never makes it sleep.
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
/* Line records per slot, a power of two.  A line is at least its 20-byte
 * header, so the text ring is full long before its records run out. */
#define LOG_RECORDS 4096u
#define LOG_SLOTS 64
#define LOG_TICK_MS 2
#define LOG_FLUSHER_STACK (64u * 1024u)
/* An exit path waits this long for another thread's drain before it takes
 * the drain over (that thread may be stuck on a slow sink, or gone). */
#define LOG_TAKEOVER_SPINS 2000
#define LOG_PAUSE_NS 100000
/* Pieces of one writev: at most IOV_MAX, and a whole batch on the stack. */
#define LOG_PIECES 256
#define LOG_NONE UINT64_MAX

/* One committed line: its number in the sequence and where its text ends
 * (a position in the text ring, unmasked). */
struct log_record_st {
    uint64_t seq;
    uint64_t end;
};

/* The producer's fields and the drainer's sit on cache lines of their own
 * (and each slot on its own pair): a line logged must not pull a cache line
 * out from under the flusher or another logging thread. */
struct alignas(128) log_slot_st {
    std::atomic<int> claimed{0};          /* producer thread's claim */
    std::atomic<char *> ring{nullptr};    /* text ring then records, mapped by the first claimer, kept */
    std::atomic<uint64_t> lines{0};       /* records committed; producer only */
    uint64_t head{0};                     /* text committed; producer only */
    uint64_t tail_seen{0};                /* producer only: tail when it last looked, <= tail */
    uint64_t taken_seen{0};               /* producer only: taken when it last looked, <= taken */
    alignas(64) std::atomic<uint64_t> tail{0}; /* text written or dropped; drainer only */
    std::atomic<uint64_t> taken{0};       /* records written or dropped; drainer only */
};

static log_slot_st s_slots[LOG_SLOTS];
/* Set by tp_os_log_init's start, cleared by tp_os_log_flush and in a forked
 * child (which never writes its parent's rings). */
static std::atomic<int> s_batching{0};
static std::atomic<int> s_flusher_started{0};
/* The next line's number; the number of the next line due in the file
 * (the drainer's, relaxed: s_drainer orders it). */
static std::atomic<uint64_t> s_seq{0};
static std::atomic<uint64_t> s_next_out{0};
/* tid of the thread draining, 0 when none. */
static std::atomic<pid_t> s_drainer{0};
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

/* Whether a drain waits for a line still on its way in (LOG_ORDERED), or
 * writes what is committed whatever is missing (LOG_ANY_ORDER: the way
 * out, where the missing line's thread may never run again). */
enum log_order { LOG_ORDERED, LOG_ANY_ORDER };

/* What a drain does with lines the sink refuses: keep them for the next
 * try (the flusher) or drop and count them (anyone else, who must not
 * wait). */
enum log_refused { LOG_KEEP, LOG_DROP };

/* One stretch of text of one slot in a batch, and where the slot stands
 * once it is written. */
struct log_piece_st {
    log_slot_st *slot;
    uint64_t tail_after;
    uint64_t taken_after;
};

struct log_batch_st {
    struct iovec iov[LOG_PIECES];
    log_piece_st piece[LOG_PIECES];
    int count;
};

/* Waiting for another drainer sleeps rather than yields: a real-time
 * thread's sched_yield never lets the normal-priority flusher, which may
 * hold the drain on this CPU, finish. */
static void log_pause(void) {
    struct timespec pause = {0, LOG_PAUSE_NS};
    nanosleep(&pause, NULL);
}

static void log_futex_wake(void) {
    s_wake.fetch_add(1);
    syscall(SYS_futex, &s_wake, FUTEX_WAKE_PRIVATE, 1, NULL, NULL, 0);
}

static log_record_st *log_records(char *ring) { return (log_record_st *)(ring + LOG_RING_SIZE); }

/* The number of the slot's next undrained line, LOG_NONE when it has
 * none. */
static uint64_t log_next_seq(log_slot_st *slot, uint64_t taken, uint64_t lines) {
    if (taken == lines) return LOG_NONE;
    return log_records(slot->ring.load(std::memory_order_relaxed))[taken & (LOG_RECORDS - 1)].seq;
}

/* Adds the text from `from` to `to` of a slot's ring, where it stands once
 * written; joins the previous piece when it continues it in memory. */
static void log_batch_add(log_batch_st *b, log_slot_st *slot, uint64_t from, uint64_t to, uint64_t taken_after) {
    char *ring = slot->ring.load(std::memory_order_relaxed);
    while (from < to) {
        size_t at = (size_t)(from & (LOG_RING_SIZE - 1));
        size_t len = (size_t)(to - from) < LOG_RING_SIZE - at ? (size_t)(to - from) : LOG_RING_SIZE - at;
        from += len;
        uint64_t taken = from == to ? taken_after : taken_after - 1; /* the first piece of a wrapped line */
        struct iovec *last = b->count > 0 ? &b->iov[b->count - 1] : NULL;
        if (last != NULL && b->piece[b->count - 1].slot == slot && (char *)last->iov_base + last->iov_len == ring + at) {
            last->iov_len += len;
        } else {
            b->iov[b->count] = {ring + at, len};
            b->piece[b->count].slot = slot;
            b->count++;
        }
        b->piece[b->count - 1].tail_after = from;
        b->piece[b->count - 1].taken_after = taken;
    }
}

/* Moves each slot of the batch's pieces [from, to) to where it stands after
 * them; the lines they end are counted as dropped when `dropped`. */
static void log_batch_advance(const log_batch_st *b, int from, int to, int dropped) {
    uint64_t lost = 0;
    for (int i = from; i < to; i++) {
        log_slot_st *slot = b->piece[i].slot;
        if (dropped) lost += b->piece[i].taken_after - slot->taken.load(std::memory_order_relaxed);
        slot->tail.store(b->piece[i].tail_after, std::memory_order_release);
        slot->taken.store(b->piece[i].taken_after, std::memory_order_release);
    }
    if (lost > 0) kor_log_dropped(lost);
}

/* A write that stopped inside a piece: its slot's text moves on by what
 * went, and so do its records over every line that went whole.  The tail
 * then stands inside the line of `taken`, or at its start. */
static void log_slot_move(log_slot_st *slot, uint64_t tail) {
    log_record_st *records = log_records(slot->ring.load(std::memory_order_relaxed));
    uint64_t taken = slot->taken.load(std::memory_order_relaxed);
    while (records[taken & (LOG_RECORDS - 1)].end <= tail) taken++;
    slot->tail.store(tail, std::memory_order_release);
    slot->taken.store(taken, std::memory_order_release);
}

/* Writes the batch; -1 when the sink refused part of it.  What reached the
 * sink is taken off the rings, and with LOG_DROP the rest too; with
 * LOG_KEEP, *due becomes the number of the first line kept. */
static int log_batch_write(log_batch_st *b, log_refused refused, uint64_t *due) {
    size_t lens[LOG_PIECES];
    for (int i = 0; i < b->count; i++) lens[i] = b->iov[i].iov_len;
    size_t written = 0;
    int rc = kor_log_write(b->iov, b->count, &written);
    int whole = 0;
    for (; whole < b->count && written >= lens[whole]; whole++) written -= lens[whole];
    log_batch_advance(b, 0, whole, 0);
    if (whole < b->count) {
        log_slot_st *slot = b->piece[whole].slot;
        if (written > 0) log_slot_move(slot, slot->tail.load(std::memory_order_relaxed) + written);
        if (refused == LOG_DROP)
            log_batch_advance(b, whole, b->count, 1);
        else
            *due = log_next_seq(slot, slot->taken.load(std::memory_order_relaxed), LOG_NONE);
    }
    b->count = 0;
    return rc;
}

/* Writes the committed lines of every ring in number order; the caller
 * holds s_drainer.  0, or -1 when the sink refused lines. */
static int log_drain(log_order order, log_refused refused) {
    log_batch_st batch;
    batch.count = 0;
    log_slot_st *active[LOG_SLOTS];
    uint64_t taken[LOG_SLOTS], lines[LOG_SLOTS], next[LOG_SLOTS];
    int n = 0;
    for (int i = 0; i < LOG_SLOTS; i++) {
        log_slot_st *slot = &s_slots[i];
        uint64_t committed = slot->lines.load();
        uint64_t t = slot->taken.load(std::memory_order_relaxed);
        if (committed == t) continue;
        active[n] = slot;
        taken[n] = t;
        lines[n] = committed;
        next[n] = log_next_seq(slot, t, committed);
        n++;
    }
    uint64_t due = s_next_out.load(std::memory_order_relaxed);
    int rc = 0;
    for (;;) {
        int pick = -1;
        for (int i = 0; i < n; i++)
            if (next[i] != LOG_NONE && (pick < 0 || next[i] < next[pick])) pick = i;
        /* Nothing left, or the line due is still on its way in.  (A line
         * numbered below the one due was passed over by a drain in any
         * order: it goes now.) */
        if (pick < 0 || (order == LOG_ORDERED && next[pick] > due)) break;
        /* The picked ring's lines up to the next number another ring holds
         * (ordered: while none is missing): one stretch of its text. */
        uint64_t until = LOG_NONE;
        for (int i = 0; i < n; i++)
            if (i != pick && next[i] < until) until = next[i];
        log_slot_st *slot = active[pick];
        log_record_st *records = log_records(slot->ring.load(std::memory_order_relaxed));
        uint64_t from = slot->tail.load(std::memory_order_relaxed);
        if (taken[pick] != slot->taken.load(std::memory_order_relaxed)) from = records[(taken[pick] - 1) & (LOG_RECORDS - 1)].end;
        while (taken[pick] < lines[pick] && batch.count < LOG_PIECES - 2) {
            log_record_st *r = &records[taken[pick] & (LOG_RECORDS - 1)];
            if (order == LOG_ORDERED ? r->seq > due : r->seq > until) break;
            taken[pick]++;
            if (r->seq >= due) due = r->seq + 1;
            log_batch_add(&batch, slot, from, r->end, taken[pick]);
            from = r->end;
        }
        next[pick] = log_next_seq(slot, taken[pick], lines[pick]);
        if (batch.count < LOG_PIECES - 2) continue;
        /* The batch is full.  Written or dropped, every slot now stands at
         * its cursor; kept, the rest waits for the next drain. */
        if (log_batch_write(&batch, refused, &due) != 0) {
            rc = -1;
            if (refused == LOG_KEEP) break;
        }
    }
    if (batch.count > 0 && log_batch_write(&batch, refused, &due) != 0) rc = -1;
    s_next_out.store(due, std::memory_order_relaxed);
    return rc;
}

/* One drain if nobody else drains now; 0 done, -1 busy or refused. */
static int log_try_drain(pid_t tid, log_order order, log_refused refused) {
    pid_t none = 0;
    if (!s_drainer.compare_exchange_strong(none, tid, std::memory_order_acquire)) return -1;
    int rc = log_drain(order, refused);
    s_drainer.store(0, std::memory_order_release);
    return rc;
}

/* One drain, once the drainer in charge (if any) is done; lines the sink
 * refuses are dropped. */
static void log_drain_wait(pid_t tid) {
    for (;;) {
        pid_t none = 0;
        if (s_drainer.compare_exchange_strong(none, tid, std::memory_order_acquire)) break;
        log_pause();
    }
    log_drain(LOG_ORDERED, LOG_DROP);
    s_drainer.store(0, std::memory_order_release);
}

/* Drains even when another drainer holds the drain, after a bounded wait,
 * and writes every committed line whatever is still on its way in.  A
 * drainer that is this very thread was interrupted by the signal handler
 * and never resumes before the exit; taking its drain over may write again
 * the bytes its cut-off write already wrote, but loses none. */
static void log_drain_takeover(pid_t tid) {
    for (int i = 0; i < LOG_TAKEOVER_SPINS; i++) {
        if (s_drainer.load(std::memory_order_acquire) == tid) break;
        pid_t none = 0;
        if (s_drainer.compare_exchange_strong(none, tid, std::memory_order_acquire)) break;
        log_pause();
    }
    s_drainer.store(tid, std::memory_order_release);
    log_drain(LOG_ANY_ORDER, LOG_DROP);
    s_drainer.store(0, std::memory_order_release);
}

/* 1 when the line fits, by the producer's last look at the drainer's
 * fields: text room and a free record. */
static int log_slot_room(const log_slot_st *slot, size_t len) {
    return LOG_RING_SIZE - (slot->head - slot->tail_seen) >= len &&
           slot->lines.load(std::memory_order_relaxed) - slot->taken_seen < LOG_RECORDS;
}

/* Refreshes the producer's look at the drainer's fields; 1 when the line
 * fits now. */
static int log_slot_look(log_slot_st *slot, size_t len) {
    slot->tail_seen = slot->tail.load(std::memory_order_acquire);
    slot->taken_seen = slot->taken.load(std::memory_order_acquire);
    return log_slot_room(slot, len);
}

/* A producer whose ring is full drains the rings itself: korv slows down to
 * the sink's pace, and what the sink refuses is dropped, never waited for.
 * It waits only while another thread drains, or while a line numbered
 * before its own is still on its way in. */
static void log_slot_make_room(log_slot_st *slot, size_t len, pid_t tid) {
    /* The drainer's fields are read only when the ring looks full by the
     * last look: most lines touch no cache line the drainer writes. */
    if (log_slot_room(slot, len) || log_slot_look(slot, len)) return;
    for (;;) {
        log_try_drain(tid, LOG_ORDERED, LOG_DROP);
        if (log_slot_look(slot, len)) return;
        log_pause();
    }
}

/* Numbers the line and commits it to the calling thread's ring. */
static void log_slot_copy(log_slot_st *slot, const char *line, size_t len) {
    char *ring = slot->ring.load(std::memory_order_relaxed);
    uint64_t head = slot->head;
    uint64_t count = slot->lines.load(std::memory_order_relaxed);
    /* Taken once the line has room: every number ends up in a ring. */
    uint64_t seq = s_seq.fetch_add(1, std::memory_order_relaxed);
    size_t at = (size_t)(head & (LOG_RING_SIZE - 1));
    size_t first = len < LOG_RING_SIZE - at ? len : LOG_RING_SIZE - at;
    memcpy(ring + at, line, first);
    memcpy(ring, line + first, len - first);
    log_records(ring)[count & (LOG_RECORDS - 1)] = {seq, head + len};
    slot->head = head + len;
    /* Sequentially consistent: pairs with the flusher's idle flag below, so
     * either the flusher sees this line or this thread sees it asleep. */
    slot->lines.store(count + 1);
    uint64_t used = head + len - slot->tail_seen; /* from the last look: never less than it holds */
    int crossed = used >= LOG_RING_SIZE / 2 && used - len < LOG_RING_SIZE / 2;
    if (crossed || (s_flusher_idle.load() == 1 && s_flusher_idle.exchange(0) == 1)) log_futex_wake();
}

static log_slot_st *log_slot_claim(void) {
    for (int i = 0; i < LOG_SLOTS; i++) {
        log_slot_st *slot = &s_slots[i];
        if (slot->claimed.load(std::memory_order_relaxed) != 0 || slot->claimed.exchange(1) != 0) continue;
        if (slot->ring.load(std::memory_order_acquire) == nullptr) {
            size_t size = LOG_RING_SIZE + LOG_RECORDS * sizeof(log_record_st);
            void *map = mmap(NULL, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (map == MAP_FAILED) {
                slot->claimed.store(0);
                return nullptr;
            }
            slot->ring.store((char *)map, std::memory_order_release);
        }
        slot->tail_seen = slot->tail.load(std::memory_order_acquire);
        slot->taken_seen = slot->taken.load(std::memory_order_acquire);
        pthread_setspecific(s_slot_key, slot);
        return slot;
    }
    return nullptr; /* more logging threads than slots: this one writes directly */
}

/* The thread ends: its lines leave now and the slot serves the next thread. */
static void log_slot_release(void *arg) {
    log_slot_st *slot = (log_slot_st *)arg;
    pid_t tid = gettid();
    while (slot->lines.load(std::memory_order_relaxed) != slot->taken.load(std::memory_order_acquire)) {
        log_drain_wait(tid);
        if (slot->lines.load(std::memory_order_relaxed) != slot->taken.load(std::memory_order_acquire))
            log_pause(); /* a line before its own is on its way in */
    }
    t_slot = nullptr;
    slot->claimed.store(0, std::memory_order_release);
}

/* 1 when any ring holds a line. */
static int log_any_lines(void) {
    for (int i = 0; i < LOG_SLOTS; i++)
        if (s_slots[i].lines.load() != s_slots[i].taken.load(std::memory_order_acquire)) return 1;
    return 0;
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
        if (log_any_lines()) {
            /* Busy (another drainer) or refused: the next tick tries again. */
            log_try_drain(tid, LOG_ORDERED, LOG_KEEP);
            struct timespec tick = {0, LOG_TICK_MS * 1000000L};
            syscall(SYS_futex, &s_wake, FUTEX_WAIT_PRIVATE, seen, &tick, NULL, 0);
            continue;
        }
        /* Idle: announce it, then look once more, so a line committed
         * meanwhile is either seen here or wakes the wait below. */
        s_flusher_idle.store(1);
        seen = s_wake.load();
        if (log_any_lines()) {
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
         * what is committed goes first when no drain runs, then this line
         * directly. */
        log_try_drain(tid, LOG_ANY_ORDER, LOG_DROP);
        return -1;
    }
    t_in_log = 1;
    if (slot == nullptr) slot = t_slot = log_slot_claim();
    if (slot != nullptr) {
        log_slot_make_room(slot, len, tid);
        log_slot_copy(slot, line, len);
        /* An exit path ended batching while this line was on its way in:
         * it must not stay behind in the ring. */
        if (s_batching.load() == 0) log_drain_takeover(tid);
    }
    t_in_log = 0;
    return slot != nullptr ? 0 : -1;
}

void kor_log_batch_drain(void) {
    if (s_batching.load() != 0) log_drain_wait(gettid());
}

void tp_os_log_flush(void) {
    if (s_batching.exchange(0) != 0) log_drain_takeover(gettid());
}
