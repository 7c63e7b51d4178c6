/* NV-modify pipeline: entries per second from fwmd's send until the bytes are
 * in the target file, twelve 64-byte entries to an indication (the most one
 * 1024-byte record holds).  Baseline: the same entries written by a plain
 * loop that opens, seeks, writes and closes the file per entry.
 *
 * Every entry has its own sequence number, and its data says so; an entry's
 * slot in the file is its number modulo the slot count.  So the last entry's
 * bytes appear in the file only when that entry is written, and since the
 * writer keeps queue order, every entry before it is written too. */
#include <fcntl.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

#include <unistd.h>

#include "bench.h"
#include "fwmd.h"
#include "kor_msg_cmd.h"
#include "sim_root.h"

namespace kb {

static const int k_per_ind = 12;
static const int k_entry = 64;
static const uint32_t k_slots = 1024; /* the first 64 KiB of the file */
static const uint32_t k_wf_id = 3;
static const uint32_t k_ma_wf_id = 0xFFFFFFFFu;

struct nv_target {
    std::string host_path;
    uint32_t wf_id;
};

static uint64_t s_seq; /* next entry number, across runs and figures */

static uint32_t slot_offset(uint64_t seq)
{
    return (uint32_t)(seq % k_slots) * k_entry;
}

/* Printable, like the text the framework sends, and unique per entry. */
static void entry_data(uint64_t seq, char out[k_entry])
{
    char head[24];
    int n = snprintf(head, sizeof head, "nv%010llu:", (unsigned long long)seq);
    for (int i = 0; i < k_entry; i++)
        out[i] = i < n ? head[i] : (char)('a' + (seq + i) % 26);
}

/* The last min(count, slots) entries of a run must be where they belong. */
static bool verify(const nv_target &t, uint64_t first, uint64_t count, std::string *why)
{
    std::vector<char> file(k_slots * k_entry);
    if (!read_at(t.host_path, 0, file.data(), file.size())) {
        *why = "cannot read " + t.host_path;
        return false;
    }
    uint64_t from = count > k_slots ? first + count - k_slots : first;
    for (uint64_t seq = from; seq < first + count; seq++) {
        char want[k_entry];
        entry_data(seq, want);
        if (memcmp(file.data() + slot_offset(seq), want, k_entry) != 0) {
            *why = fmt("entry %llu is not in the file", (unsigned long long)seq);
            return false;
        }
    }
    return true;
}

static bool wait_entry(const nv_target &t, uint64_t seq, int timeout_ms)
{
    char want[k_entry], got[k_entry];
    entry_data(seq, want);
    uint64_t end = now_ns() + (uint64_t)timeout_ms * 1000000u;
    while (now_ns() < end) {
        if (read_at(t.host_path, slot_offset(seq), got, k_entry) && memcmp(got, want, k_entry) == 0)
            return true;
        sleep_us(100);
    }
    return false;
}

/* One run through korv: inds indications; seconds from the first send to
 * the last entry's bytes in the file, or a negative value. */
static double through_korv(session &s, const nv_target &t, int inds, std::string *why)
{
    uint64_t first = s_seq;
    std::vector<fwmd_body> bodies(inds);
    for (int k = 0; k < inds; k++) {
        bodies[k].u32(k_per_ind);
        for (int j = 0; j < k_per_ind; j++) {
            uint64_t seq = s_seq++;
            char data[k_entry];
            entry_data(seq, data);
            bodies[k].u32(0).u32(t.wf_id).u32(slot_offset(seq)).u32(k_entry).raw(data, k_entry);
        }
    }
    uint64_t t0 = now_ns();
    for (const fwmd_body &b : bodies)
        if (fwmd_send_cmd(s.fw, FWMD_NV, MWRX_WFMGR_NV_MODIFY_IND, b, t.wf_id) != 0) {
            *why = "fwmd could not send";
            return -1;
        }
    if (!wait_entry(t, s_seq - 1, 120000)) {
        *why = "the last entry never reached the file";
        return -1;
    }
    double secs = (double)(now_ns() - t0) / 1e9;
    return verify(t, first, s_seq - first, why) ? secs : -1;
}

/* How a loop makes its writes durable: never, by an fdatasync after every
 * write (the peer's way), or after every 64th (korv's group commit's own
 * bound: at most 64 entries written and not yet synced). */
enum sync_mode { SYNC_NONE, SYNC_EACH, SYNC_EVERY_64 };
static const uint64_t k_group = 64;

/* One entry of a loop: open, seek, write, then the mode's sync, close.
 * `nth` counts the loop's entries from 1. */
static bool loop_entry(const nv_target &t, uint64_t seq, uint64_t nth, const char *data, sync_mode mode)
{
    FILE *f = fopen(t.host_path.c_str(), "r+");
    if (f == nullptr)
        return false;
    fseek(f, slot_offset(seq), SEEK_SET);
    fwrite(data, k_entry, 1, f);
    if (mode == SYNC_EACH || (mode == SYNC_EVERY_64 && nth % k_group == 0)) {
        fflush(f);
        fdatasync(fileno(f));
    }
    fclose(f);
    return true;
}

static double sync_loop(const nv_target &t, int inds, sync_mode mode, std::string *why)
{
    uint64_t first = s_seq;
    uint64_t n = (uint64_t)inds * k_per_ind;
    std::vector<char> data(n * k_entry);
    for (uint64_t i = 0; i < n; i++)
        entry_data(first + i, &data[i * k_entry]);
    s_seq += n;
    uint64_t t0 = now_ns();
    for (uint64_t i = 0; i < n; i++) {
        if (!loop_entry(t, first + i, i + 1, &data[i * k_entry], mode)) {
            *why = "baseline cannot open " + t.host_path;
            return -1;
        }
    }
    double secs = (double)(now_ns() - t0) / 1e9;
    return verify(t, first, n, why) ? secs : -1;
}

void figure_nv(log_mode m, bool ma)
{
    std::string name = ma ? "NV modify, MA image (entries/s)" : "NV modify, waveform file (entries/s)";
    int inds = g_opt.smoke ? 5 : 400;
    int runs = g_opt.smoke ? 1 : 3;
    session s(m);
    if (!s.up(10000))
        return add_failure(name, m, "korv did not come up and connect");
    nv_target t;
    if (ma) {
        t = {s.root.path("/data/brimwell/nvram/nvram_sysconfig_ma.bin"), k_ma_wf_id};
    } else {
        t = {s.root.path("/data/brimwell/wf_manager/waveform/UTRAN/nvram_utran.bin"), k_wf_id};
        if (!s.path_info(k_wf_id, "UTRAN", "/data/brimwell/wf_manager/waveform/UTRAN/", "nvram_utran.bin"))
            return add_failure(name, m, "fwmd could not send the path record");
    }
    std::string why;
    /* warm-up: first allocations, page cache, the writer's first open */
    if (through_korv(s, t, 2, &why) < 0 || sync_loop(t, 2, SYNC_NONE, &why) < 0)
        return add_failure(name, m, why);
    std::vector<double> kr, br;
    for (int i = 0; i < runs; i++) {
        double a = through_korv(s, t, inds, &why);
        double b = sync_loop(t, inds, SYNC_NONE, &why);
        if (a < 0 || b < 0)
            return add_failure(name, m, why);
        kr.push_back(inds * k_per_ind / a);
        br.push_back(inds * k_per_ind / b);
    }
    double kv = median(kr), bv = median(br);
    add_row({name, log_name(m), grouped(kv), grouped(bv), fmt("%.2f", kv / bv), ">= 0.80",
             kv / bv >= 0.8 ? "met" : "MISSED"});
}

/* A session on the waveform file, up and with its path record stored. */
static bool durable_session(session &s, nv_target *t, std::string *why)
{
    *t = {s.root.path("/data/brimwell/wf_manager/waveform/UTRAN/nvram_utran.bin"), k_wf_id};
    if (!s.up(10000)) {
        *why = "korv did not come up and connect";
        return false;
    }
    if (!s.path_info(k_wf_id, "UTRAN", "/data/brimwell/wf_manager/waveform/UTRAN/", "nvram_utran.bin")) {
        *why = "fwmd could not send the path record";
        return false;
    }
    return through_korv(s, *t, 2, why) >= 0; /* warm-up */
}

/* Durable NV writes: korv's pipeline with its group commit against a loop
 * that syncs after every write (the peer's way), against the same pipeline
 * with fdatasync stubbed out (bench-nosync.so preloaded into a second korv:
 * what the group commit costs), and against the plain loop of the NV
 * figure.  The loops run on the first korv's file.  The loop that syncs
 * every write is slow, so it runs an eighth of the entries. */
void figure_durable(log_mode m)
{
    const std::string name = "NV durable";
    int inds = g_opt.smoke ? 5 : 400, each_inds = inds / 8 + 1;
    int runs = g_opt.smoke ? 1 : 3;
    korvtest::rig_opts no_sync_opts = korv_opts_for(m);
    no_sync_opts.env.push_back("LD_PRELOAD=" + korv_sim_lib_dir() + "/bench-nosync.so");
    session s(m), q(no_sync_opts);
    nv_target t, tq;
    std::string why;
    if (!durable_session(s, &t, &why) || !durable_session(q, &tq, &why) || sync_loop(t, 2, SYNC_EACH, &why) < 0)
        return add_failure(name, m, why);
    std::vector<double> korv, each, no_sync, plain, group;
    for (int i = 0; i < runs; i++) {
        double a = through_korv(s, t, inds, &why);
        double b = sync_loop(t, each_inds, SYNC_EACH, &why);
        double c = through_korv(q, tq, inds, &why);
        double d = sync_loop(t, inds, SYNC_NONE, &why);
        double e = sync_loop(t, inds, SYNC_EVERY_64, &why);
        if (a < 0 || b < 0 || c < 0 || d < 0 || e < 0)
            return add_failure(name, m, why);
        korv.push_back(inds * k_per_ind / a);
        each.push_back(each_inds * k_per_ind / b);
        no_sync.push_back(inds * k_per_ind / c);
        plain.push_back(inds * k_per_ind / d);
        group.push_back(inds * k_per_ind / e);
    }
    double kv = median(korv);
    auto add = [&](const char *vs, double base, double target, const char *shown) {
        add_row({name + ", korv vs " + vs + " (entries/s)", log_name(m), grouped(kv), grouped(base),
                 fmt("%.2f", kv / base), shown, kv / base >= target ? "met" : "MISSED"});
    };
    add("fdatasync per write", median(each), 10, ">= 10");
    add("korv without syncs", median(no_sync), 0.7, ">= 0.70");
    add("plain loop", median(plain), 0.7, ">= 0.70");
    add("plain loop syncing every 64", median(group), 0.9, ">= 0.90");
}

/* The value below which a share p of the samples lies. */
static double percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    size_t at = (size_t)(p * (double)v.size());
    return v[at < v.size() ? at : v.size() - 1];
}

/* One entry sent while korv's writer is idle; microseconds until korv's
 * next fdatasync returned (bench-synctime.so appends its time to `times`). */
static double arrival_to_durable_us(session &s, const nv_target &t, const std::string &times, std::string *why)
{
    off_t seen = file_size(times);
    uint64_t seq = s_seq++;
    char data[k_entry];
    entry_data(seq, data);
    fwmd_body b;
    b.u32(1).u32(0).u32(t.wf_id).u32(slot_offset(seq)).u32(k_entry).raw(data, k_entry);
    uint64_t t0 = now_ns();
    if (fwmd_send_cmd(s.fw, FWMD_NV, MWRX_WFMGR_NV_MODIFY_IND, b, t.wf_id) != 0) {
        *why = "fwmd could not send";
        return -1;
    }
    uint64_t synced = 0, end = t0 + 5000000000u;
    while (file_size(times) < seen + (off_t)sizeof synced) {
        if (now_ns() > end) {
            *why = "no sync within 5 s of an entry";
            return -1;
        }
        sleep_us(20);
    }
    if (!read_at(times, (uint64_t)seen, &synced, sizeof synced) || !wait_entry(t, seq, 1000)) {
        *why = "the synced entry is not in the file";
        return -1;
    }
    return (double)(synced - t0) / 1e3;
}

/* One 64-byte write into a slot of the file, then one timed fdatasync. */
static double one_sync_us(const nv_target &t, std::string *why)
{
    int fd = open(t.host_path.c_str(), O_WRONLY | O_CLOEXEC);
    char data[k_entry];
    entry_data(s_seq, data);
    bool ok = fd >= 0 && pwrite(fd, data, k_entry, slot_offset(s_seq++)) == k_entry;
    uint64_t t0 = now_ns();
    ok = ok && fdatasync(fd) == 0;
    double us = (double)(now_ns() - t0) / 1e3;
    if (fd >= 0)
        close(fd);
    if (!ok)
        *why = "baseline cannot write and sync " + t.host_path;
    return ok ? us : -1;
}

/* Alternating samples on one korv, a few ms apart so that the writer is
 * idle each time; false (with why) when one could not be taken. */
static bool latency_samples(const korvtest::rig_opts &opts, const std::string &times, int samples,
                            std::vector<double> *korv, std::vector<double> *base, std::string *why)
{
    session s(opts);
    nv_target t;
    if (!durable_session(s, &t, why))
        return false;
    for (int i = 0; i < samples; i++) {
        sleep_us(3000);
        double a = arrival_to_durable_us(s, t, times, why);
        double b = one_sync_us(t, why);
        if (a < 0 || b < 0)
            return false;
        korv->push_back(a);
        base->push_back(b);
    }
    return true;
}

/* How long an entry waits for its durability while nothing else is going
 * on: from its send until korv's group commit has synced it, against one
 * fdatasync of the same file. */
void figure_durable_latency(log_mode m)
{
    const std::string name = "NV entry arrival to durable, writer idle";
    int samples = g_opt.smoke ? 5 : 200;
    char times[] = "/tmp/korv-bench-synctimes-XXXXXX";
    int tfd = mkstemp(times);
    if (tfd < 0)
        return add_failure(name, m, "cannot make the sync-times file");
    close(tfd);
    korvtest::rig_opts opts = korv_opts_for(m);
    opts.env.push_back("LD_PRELOAD=" + korv_sim_lib_dir() + "/bench-synctime.so");
    opts.env.push_back(std::string("BENCH_SYNC_TIMES=") + times);
    std::string why;
    std::vector<double> korv, base;
    bool ok = latency_samples(opts, times, samples, &korv, &base, &why);
    unlink(times);
    if (!ok)
        return add_failure(name, m, why);
    for (double p : {0.50, 0.99}) {
        double kv = percentile(korv, p), bv = percentile(base, p);
        add_row({name + fmt(", p%.0f (us)", p * 100), log_name(m), fmt("%.0f", kv), fmt("%.0f", bv),
                 fmt("%.2f", kv / bv), "-", "-"});
    }
}

} // namespace kb
