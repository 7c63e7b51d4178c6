// korv-sim chaos, the plan: one seeded stream of steps, the framework's
// traffic and the faults mixed, drawn before anything runs.  A step's
// parameters (its entries too, through a seed of its own) come from the
// stream alone and never from timing, so one seed always plays the same
// script and the same fault schedule however fast the machine is.
#ifndef KORVSIM_CHAOS_PLAN_H
#define KORVSIM_CHAOS_PLAN_H

#include <stdint.h>

#include <string>
#include <vector>

namespace korvsim {

/* splitmix64: small, fast, and the same on every host. */
struct chaos_rng {
    uint64_t state = 0;
};
uint64_t chaos_next(chaos_rng *r);
/* A value in [0, n); n > 0. */
uint32_t chaos_below(chaos_rng *r, uint32_t n);

enum chaos_kind {
    /* the framework's traffic */
    CK_PATH_INFO,
    CK_NV_BURST,
    CK_VOLTAGE,
    CK_LOAD,
    CK_WFCFG,
    CK_UTRAN_START,
    CK_UTRAN_STOP,
    /* faults */
    CK_SIGTERM,
    CK_SIGKILL,
    CK_POWERCUT,
    CK_LINK_DROP,
    CK_EXCEPTION,
    CK_DATA_FILL,
    CK_DATA_EMPTY,
    CK_CAPTURE_START,
    CK_CAPTURE_STOP,
    CK_AT_TIMEOUT,    /* the AT time-out property: korv's exception handling */
    CK_CTL_FLOOD,     /* connects to the control socket as fast as they go */
    CK_CTL_TRICKLE,   /* four control clients sending a byte every 3.5 s */
    CK_PLANT_LINK,    /* a link where a capture is written, to a file outside */
    CK_PLANT_FIFO,    /* a named pipe where a capture is written */
    CK_SLOW_DRIVER,   /* every request of the modem driver answered late, for a few seconds */
    CK_PLANT_NV_LINK, /* a link at a waveform's NV file, to a file outside, while entries go to it */
    CK_PLANT_NV_FIFO, /* a named pipe at a waveform's NV file, the same */
    CK_COUNT
};

const char *chaos_kind_name(chaos_kind k);
/* A kind's one-word key ("sigkill", "plant-fifo"), and back (-1: none). */
const char *chaos_kind_key(chaos_kind k);
int chaos_kind_by_key(const std::string &key);
bool chaos_is_fault(chaos_kind k);

/* The NV files the framework writes into, by index: a waveform's NV file
 * through its path record, or MA (wf_id 0xFFFFFFFF).  Entries go into
 * fixed slots of each, so that later entries overwrite earlier ones. */
struct chaos_nv_file {
    uint32_t wf_id;
    const char *wf_name;  /* "" for MA */
    const char *dir;      /* device path of the waveform's folder, "/" ended */
    const char *file;     /* device path of the NV file */
    uint32_t base;        /* offset of slot 0 */
};
constexpr uint32_t k_chaos_slots = 256;
constexpr uint32_t k_chaos_entry = 16; /* bytes of one entry */
const std::vector<chaos_nv_file> &chaos_nv_files();

/* An entry's bytes: its sequence number, file and slot in printable text,
 * so a file's bytes name the entry they came from. */
std::string chaos_entry_text(uint32_t seq, uint32_t file, uint32_t slot);

struct chaos_step {
    chaos_kind kind = CK_PATH_INFO;
    uint32_t a = 0, b = 0; /* by kind: file and entry count, card and voltage, ... */
    uint64_t sub = 0;      /* seed of the step's own draws (a burst's slots) */
    uint32_t first_seq = 0; /* a burst's first entry number */
    uint32_t pause_ms = 0;  /* after the step (a fault: before it) */
};

/* The generator: the stream and the state the plan keeps (whether UTRAN
 * runs, /data is full, a capture runs) so that every step is valid where
 * it stands. */
struct chaos_plan {
    chaos_rng rng;
    uint32_t next_seq = 1;
    bool utran_on = false, data_full = false, capturing = false;
    uint32_t captures = 0;
};
void chaos_plan_init(chaos_plan *p, uint64_t seed);
chaos_step chaos_plan_next(chaos_plan *p);
/* One line naming the step and its parameters. */
std::string chaos_step_text(const chaos_step &s);

/* One entry of a burst. */
struct chaos_entry {
    uint32_t seq;
    uint32_t file;
    uint32_t slot;
};
/* The entries of a step that sends some (a burst, a plant at an NV file),
 * in the order they are sent. */
std::vector<chaos_entry> chaos_burst_entries(const chaos_step &s);

}  // namespace korvsim

#endif
