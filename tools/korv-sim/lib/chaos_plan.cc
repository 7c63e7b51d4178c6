// korv-sim chaos: the seeded plan (see chaos_plan.h).  Every draw goes
// through one chaos_rng; a burst's slots come from a stream seeded by a draw
// of the plan's, so the plan's own stream never depends on how many entries
// a burst has.
#include "chaos_plan.h"

#include <stdio.h>

namespace korvsim {

uint64_t chaos_next(chaos_rng *r) {
    uint64_t z = (r->state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

uint32_t chaos_below(chaos_rng *r, uint32_t n) { return (uint32_t)(chaos_next(r) % n); }

namespace {

const char *const k_names[CK_COUNT] = {
    "path info", "NV burst",  "voltage",     "load",          "WFCFG header",  "UTRAN start",
    "UTRAN stop", "SIGTERM",  "SIGKILL",     "power cut",     "link drop",     "modem exception",
    "/data fill", "/data empty", "capture start", "capture stop", "AT time-out",
    "control socket flood", "control socket tricklers", "link planted at a capture", "named pipe planted at a capture",
    "slow driver", "link planted at an NV file", "named pipe planted at an NV file",
};

const char *const k_keys[CK_COUNT] = {
    "path-info", "nv-burst", "voltage", "load", "wfcfg", "utran-start", "utran-stop", "sigterm", "sigkill",
    "powercut", "link-drop", "exception", "fill", "empty", "capture-start", "capture-stop", "at-timeout",
    "ctl-flood", "ctl-trickle", "plant-link", "plant-fifo", "slow-driver", "plant-nv-link", "plant-nv-fifo",
};

/* Relative weights of the kinds the plan may draw; the toggles (UTRAN,
 * /data, capture) share a weight and become start or stop by state. */
struct weight {
    chaos_kind kind;
    uint32_t w;
};
const weight k_weights[] = {
    {CK_PATH_INFO, 4}, {CK_NV_BURST, 30}, {CK_VOLTAGE, 6}, {CK_LOAD, 5},   {CK_WFCFG, 3},
    {CK_UTRAN_START, 4}, {CK_SIGTERM, 2}, {CK_SIGKILL, 2}, {CK_POWERCUT, 2}, {CK_LINK_DROP, 2},
    {CK_EXCEPTION, 2}, {CK_DATA_FILL, 2}, {CK_CAPTURE_START, 2}, {CK_AT_TIMEOUT, 1}, {CK_CTL_FLOOD, 1},
    {CK_CTL_TRICKLE, 1}, {CK_PLANT_LINK, 1}, {CK_PLANT_FIFO, 1}, {CK_SLOW_DRIVER, 1}, {CK_PLANT_NV_LINK, 1},
    {CK_PLANT_NV_FIFO, 1},
};

chaos_kind draw_kind(chaos_plan *p) {
    uint32_t total = 0;
    for (const weight &w : k_weights) total += w.w;
    uint32_t x = chaos_below(&p->rng, total);
    for (const weight &w : k_weights) {
        if (x < w.w) return w.kind;
        x -= w.w;
    }
    return CK_NV_BURST;
}

}  // namespace

const char *chaos_kind_name(chaos_kind k) { return k < CK_COUNT ? k_names[k] : "?"; }

const char *chaos_kind_key(chaos_kind k) { return k < CK_COUNT ? k_keys[k] : "?"; }

int chaos_kind_by_key(const std::string &key) {
    for (int k = 0; k < CK_COUNT; k++)
        if (key == k_keys[k]) return k;
    return -1;
}

bool chaos_is_fault(chaos_kind k) { return k >= CK_SIGTERM && k < CK_COUNT; }

const std::vector<chaos_nv_file> &chaos_nv_files() {
    static const std::vector<chaos_nv_file> files = {
        {3, "UTRAN", "/data/brimwell/wf_manager/waveform/UTRAN/",
         "/data/brimwell/wf_manager/waveform/UTRAN/nvram_utran.bin", 0x1000},
        {5, "LTEP2P", "/data/brimwell/wf_manager/waveform/LTEP2P/",
         "/data/brimwell/wf_manager/waveform/LTEP2P/nvram_ltep2p.bin", 0x2000},
        {0xFFFFFFFFu, "", "", "/data/brimwell/nvram/nvram_sysconfig_ma.bin", 0x8000},
    };
    return files;
}

std::string chaos_entry_text(uint32_t seq, uint32_t file, uint32_t slot) {
    char b[32];
    snprintf(b, sizeof b, "%09u%c%05u;", seq % 1000000000u, (char)('A' + file), slot % 100000u);
    return std::string(b, k_chaos_entry);
}

void chaos_plan_init(chaos_plan *p, uint64_t seed) {
    *p = chaos_plan();
    p->rng.state = seed;
}

chaos_step chaos_plan_next(chaos_plan *p) {
    chaos_step s;
    s.kind = draw_kind(p);
    s.sub = chaos_next(&p->rng);
    s.pause_ms = chaos_below(&p->rng, 200);
    switch (s.kind) {
    case CK_NV_BURST:
        s.a = chaos_below(&p->rng, (uint32_t)chaos_nv_files().size());
        /* Mostly short bursts, now and then one longer than a queue. */
        s.b = chaos_below(&p->rng, 8) == 0 ? 500 + chaos_below(&p->rng, 1500) : 1 + chaos_below(&p->rng, 120);
        s.first_seq = p->next_seq;
        p->next_seq += s.b;
        break;
    case CK_PLANT_NV_LINK:
    case CK_PLANT_NV_FIFO:
        /* A waveform's file, never MA: korv holds MA open from its start, so
         * what stands at MA's path meets only the next korv. */
        s.a = chaos_below(&p->rng, 2);
        s.b = 1 + chaos_below(&p->rng, 40);
        s.first_seq = p->next_seq;
        p->next_seq += s.b;
        break;
    case CK_SLOW_DRIVER:
        s.a = 50 + chaos_below(&p->rng, 450); /* ms a driver request takes */
        break;
    case CK_VOLTAGE:
        s.a = chaos_below(&p->rng, 2);
        s.b = 1 + chaos_below(&p->rng, 3);
        break;
    case CK_LOAD:
        s.a = chaos_below(&p->rng, 2); /* 0: direct load, 1: the driver's auth load */
        break;
    case CK_UTRAN_START:
        if (p->utran_on) s.kind = CK_UTRAN_STOP;
        p->utran_on = !p->utran_on;
        break;
    case CK_DATA_FILL:
        if (p->data_full) s.kind = CK_DATA_EMPTY;
        p->data_full = !p->data_full;
        break;
    case CK_CAPTURE_START:
        if (p->capturing) s.kind = CK_CAPTURE_STOP;
        else s.a = ++p->captures;
        p->capturing = !p->capturing;
        break;
    case CK_LINK_DROP:
        s.a = 200 + chaos_below(&p->rng, 2800); /* how long the framework stays away */
        p->capturing = false; /* korv takes the lost link as an exception and restarts */
        p->utran_on = false;
        break;
    case CK_POWERCUT:
        /* A cut image comes back without the fill (the run removes it) and a
         * new korv runs no capture and no UTRAN service. */
        p->data_full = false;
        p->capturing = false;
        p->utran_on = false;
        break;
    case CK_PLANT_LINK:
    case CK_PLANT_FIFO:
        /* The planted capture is started and stopped at once; one already
         * running is stopped first. */
        s.a = ++p->captures;
        p->capturing = false;
        break;
    case CK_SIGTERM:
    case CK_SIGKILL:
    case CK_AT_TIMEOUT:
    case CK_EXCEPTION: /* a new korv: no capture, no UTRAN service */
        p->capturing = false;
        p->utran_on = false;
        break;
    default:
        break;
    }
    return s;
}

std::string chaos_step_text(const chaos_step &s) {
    char b[160];
    switch (s.kind) {
    case CK_NV_BURST:
        snprintf(b, sizeof b, "%s: %u entries into %s from #%u", chaos_kind_name(s.kind), s.b,
                 chaos_nv_files()[s.a].file, s.first_seq);
        break;
    case CK_VOLTAGE:
        snprintf(b, sizeof b, "%s: card %u type %u", chaos_kind_name(s.kind), s.a, s.b);
        break;
    case CK_LOAD:
        snprintf(b, sizeof b, "%s: %s", chaos_kind_name(s.kind), s.a ? "auth (driver)" : "direct");
        break;
    case CK_LINK_DROP:
        snprintf(b, sizeof b, "%s: framework away %u ms", chaos_kind_name(s.kind), s.a);
        break;
    case CK_CAPTURE_START:
    case CK_PLANT_LINK:
    case CK_PLANT_FIFO:
        snprintf(b, sizeof b, "%s: chaos%u", chaos_kind_name(s.kind), s.a);
        break;
    case CK_PLANT_NV_LINK:
    case CK_PLANT_NV_FIFO:
        snprintf(b, sizeof b, "%s: %u entries into %s from #%u", chaos_kind_name(s.kind), s.b,
                 chaos_nv_files()[s.a].file, s.first_seq);
        break;
    case CK_SLOW_DRIVER:
        snprintf(b, sizeof b, "%s: %u ms a request", chaos_kind_name(s.kind), s.a);
        break;
    default:
        snprintf(b, sizeof b, "%s", chaos_kind_name(s.kind));
        break;
    }
    return b;
}

std::vector<chaos_entry> chaos_burst_entries(const chaos_step &s) {
    std::vector<chaos_entry> out;
    if (s.kind != CK_NV_BURST && s.kind != CK_PLANT_NV_LINK && s.kind != CK_PLANT_NV_FIFO) return out;
    chaos_rng r;
    r.state = s.sub;
    for (uint32_t i = 0; i < s.b; i++) out.push_back({s.first_seq + i, s.a, chaos_below(&r, k_chaos_slots)});
    return out;
}

}  // namespace korvsim
