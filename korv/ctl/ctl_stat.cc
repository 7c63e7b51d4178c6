/* The counters of the status answer.  Other areas bump them from any thread
 * (looper, connection threads, writer, libwcs threads, the exit-signal
 * handler); the control thread reads them.
 *
 * Ownership: every scalar below is a relaxed atomic with no lock: each is
 * read and written whole, and no reader needs two of them to agree.  The
 * channel list (s_channels, s_channel_count) is guarded by s_channel_lock,
 * an error-checking mutex held only to copy or edit the list; the delete,
 * which teardown reaches from the signal handler, takes it with a bounded
 * wait and skips the bookkeeping when it cannot (the process is ending). */
#include <pthread.h>
#include <string.h>
#include <time.h>

#include "ctl/ctl_int.h"
#include "teardown_lock.h"

#define RELAXED __ATOMIC_RELAXED

/* Relaxed atomics, any thread. */
static kro_ctl_link_st s_links[KRO_CTL_LINKS] = {{0, 0, -1, {}}, {0, 0, -1, {}}};
static uint64_t s_nv_queued, s_nv_written, s_nv_dropped, s_nv_bytes_written, s_nv_synced;
static uint64_t s_nv_write_failed, s_nv_unknown_cmds;
static int s_modem_state = KRO_CTL_MODEM_CLOSED;
static uint64_t s_cache_base, s_cache_size;
static int s_utran_started;
static int s_exception_state = KRO_CTL_EXC_IDLE;
static uint64_t s_exception_count;
static int s_exception_last_type = -1;
/* Written once at load, before any thread exists. */
static uint64_t s_started_ms;

/* Guarded by s_channel_lock. */
static pthread_mutex_t s_channel_lock = PTHREAD_ERRORCHECK_MUTEX_INITIALIZER_NP;
static char s_channels[KRO_CTL_CHANNELS_MAX][KRO_CTL_CHANNEL_NAME + 1];
static int s_channel_count;

static uint64_t monotonic_ms(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t)now.tv_sec * 1000 + (uint64_t)now.tv_nsec / 1000000;
}

__attribute__((constructor)) static void ctl_stat_load(void) { s_started_ms = monotonic_ms(); }

static kro_ctl_link_st *link_of(int link)
{
    return link == KRO_CTL_LINK_NV ? &s_links[KRO_CTL_LINK_NV] : &s_links[KRO_CTL_LINK_WORK];
}

static void add(uint64_t *counter, uint64_t n) { __atomic_fetch_add(counter, n, RELAXED); }

void kro_ctl_stat_link_port(int link, int port) { __atomic_store_n(&link_of(link)->port, port, RELAXED); }

void kro_ctl_stat_link_connected(int link)
{
    __atomic_store_n(&link_of(link)->connected, 1, RELAXED);
    add(&link_of(link)->count[KRO_CTL_CONNECTS], 1);
}

void kro_ctl_stat_link_closed(int link)
{
    __atomic_store_n(&link_of(link)->connected, 0, RELAXED);
    __atomic_store_n(&link_of(link)->peer_uid, (int64_t)-1, RELAXED);
}

void kro_ctl_stat_link_refused(int link) { add(&link_of(link)->count[KRO_CTL_REFUSED], 1); }

void kro_ctl_stat_link_peer_uid(int link, int64_t uid) { __atomic_store_n(&link_of(link)->peer_uid, uid, RELAXED); }

void kro_ctl_stat_link_record_in(int link, size_t length)
{
    add(&link_of(link)->count[KRO_CTL_RECORDS_IN], 1);
    add(&link_of(link)->count[KRO_CTL_BYTES_IN], (uint64_t)length + 4);
}

void kro_ctl_stat_link_record_out(int link, size_t length)
{
    add(&link_of(link)->count[KRO_CTL_RECORDS_OUT], 1);
    add(&link_of(link)->count[KRO_CTL_BYTES_OUT], (uint64_t)length + 4);
}

void kro_ctl_stat_link_bad_record(int link) { add(&link_of(link)->count[KRO_CTL_BAD_RECORDS], 1); }

void kro_ctl_stat_nv_queued(void) { add(&s_nv_queued, 1); }

void kro_ctl_stat_nv_written(uint64_t bytes)
{
    add(&s_nv_written, 1);
    add(&s_nv_bytes_written, bytes);
}

void kro_ctl_stat_nv_dropped(void) { add(&s_nv_dropped, 1); }
void kro_ctl_stat_nv_synced(void) { add(&s_nv_synced, 1); }
void kro_ctl_stat_nv_write_failed(void) { add(&s_nv_write_failed, 1); }
void kro_ctl_stat_nv_unknown_cmd(void) { add(&s_nv_unknown_cmds, 1); }
void kro_ctl_stat_modem_state(int state) { __atomic_store_n(&s_modem_state, state, RELAXED); }

void kro_ctl_stat_modem_cache(uint64_t base, uint64_t size)
{
    __atomic_store_n(&s_cache_base, base, RELAXED);
    __atomic_store_n(&s_cache_size, size, RELAXED);
}

void kro_ctl_stat_utran_started(int started) { __atomic_store_n(&s_utran_started, started != 0, RELAXED); }

void kro_ctl_stat_channel_created(const char *name)
{
    pthread_mutex_lock(&s_channel_lock);
    if (s_channel_count < KRO_CTL_CHANNELS_MAX) {
        strncpy(s_channels[s_channel_count], name, KRO_CTL_CHANNEL_NAME);
        s_channels[s_channel_count][KRO_CTL_CHANNEL_NAME] = '\0';
        s_channel_count++;
    }
    pthread_mutex_unlock(&s_channel_lock);
}

void kro_ctl_stat_channel_deleted(const char *name)
{
    if (!kro_lock_for_teardown(&s_channel_lock, "[KORV][CTL]", "channel list", "kro_ctl_stat_channel_deleted"))
        return;
    for (int i = 0; i < s_channel_count; i++) {
        if (strncmp(s_channels[i], name, KRO_CTL_CHANNEL_NAME) != 0)
            continue;
        /* Shifted down, so the list stays in creation order. */
        memmove(s_channels[i], s_channels[i + 1], sizeof(s_channels[0]) * (size_t)(s_channel_count - i - 1));
        s_channel_count--;
        break;
    }
    pthread_mutex_unlock(&s_channel_lock);
}

void kro_ctl_stat_exception_begin(int type)
{
    __atomic_store_n(&s_exception_last_type, type, RELAXED);
    add(&s_exception_count, 1);
    __atomic_store_n(&s_exception_state, KRO_CTL_EXC_DUMPING, RELAXED);
}

void kro_ctl_stat_exception_state(int state) { __atomic_store_n(&s_exception_state, state, RELAXED); }

static void read_link(const kro_ctl_link_st *from, kro_ctl_link_st *to)
{
    to->port = __atomic_load_n(&from->port, RELAXED);
    to->connected = __atomic_load_n(&from->connected, RELAXED);
    to->peer_uid = __atomic_load_n(&from->peer_uid, RELAXED);
    for (int i = 0; i < KRO_CTL_LINK_COUNTERS; i++)
        to->count[i] = __atomic_load_n(&from->count[i], RELAXED);
}

void kro_ctl_stat_read(kro_ctl_snapshot_st *snap)
{
    for (int i = 0; i < KRO_CTL_LINKS; i++)
        read_link(&s_links[i], &snap->links[i]);
    snap->nv_queued = __atomic_load_n(&s_nv_queued, RELAXED);
    snap->nv_written = __atomic_load_n(&s_nv_written, RELAXED);
    snap->nv_dropped = __atomic_load_n(&s_nv_dropped, RELAXED);
    snap->nv_bytes_written = __atomic_load_n(&s_nv_bytes_written, RELAXED);
    snap->nv_synced = __atomic_load_n(&s_nv_synced, RELAXED);
    snap->nv_write_failed = __atomic_load_n(&s_nv_write_failed, RELAXED);
    snap->nv_unknown_cmds = __atomic_load_n(&s_nv_unknown_cmds, RELAXED);
    snap->modem_state = __atomic_load_n(&s_modem_state, RELAXED);
    snap->cache_base = __atomic_load_n(&s_cache_base, RELAXED);
    snap->cache_size = __atomic_load_n(&s_cache_size, RELAXED);
    snap->utran_started = __atomic_load_n(&s_utran_started, RELAXED);
    snap->exception_state = __atomic_load_n(&s_exception_state, RELAXED);
    snap->exception_count = __atomic_load_n(&s_exception_count, RELAXED);
    snap->exception_last_type = __atomic_load_n(&s_exception_last_type, RELAXED);
    snap->uptime_ms = monotonic_ms() - s_started_ms;

    pthread_mutex_lock(&s_channel_lock);
    snap->channel_count = s_channel_count;
    memcpy(snap->channels, s_channels, sizeof(s_channels[0]) * (size_t)s_channel_count);
    pthread_mutex_unlock(&s_channel_lock);
}
