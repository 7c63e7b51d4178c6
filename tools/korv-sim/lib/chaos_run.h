// korv-sim chaos, the run's shared state and the parts that act on it: the
// framework stand-in (chaos_frame.cc), the faults (chaos_fault.cc), the
// summary (chaos_summary.cc) and the run itself (chaos.cc).
//
// Threads and ownership: the run thread plays the plan and owns every field
// above `mu`.  The prober thread asks korv's status and samples its process
// while `up`; the service manager's threads deliver its reports (korv's exits
// among them) to on_line().  `mu` guards the fields below it, which those
// threads write too; `up`, `up_gen` and `stopping` are atomics.
#ifndef KORVSIM_CHAOS_RUN_H
#define KORVSIM_CHAOS_RUN_H

#include <stdint.h>
#include <stdio.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "chaos.h"
#include "chaos_check.h"
#include "chaos_plan.h"
#include "fwmd.h"
#include "service_manager.h"

namespace korvsim {

using chaos_clock = std::chrono::steady_clock;

struct chaos_state {
    explicit chaos_state(const chaos_options &o) : opt(o) {}
    const chaos_options &opt;
    std::string root;            /* absolute */
    unsigned image_mib = 128;
    chaos_clock::time_point started = chaos_clock::now();

    fwmd_server *fw = nullptr;
    int work_port = 0, nv_port = 0;
    unsigned nv_paths_for = 0;   /* NV connection count the path records were sent on */
    std::unique_ptr<supervisor> sup;
    int socbridge_fd = -1;       /* the exception channel's write end, held for the run */

    chaos_ledger ledger;
    std::string log_path;
    size_t log_cursor = 0;       /* korv.log read up to here */
    size_t out_cursor = 0;       /* korv.out (standard output and error) read up to here */
    std::map<std::string, std::string> before; /* device path -> bytes when the run began */

    uint64_t step_no = 0;        /* the moment: the plan's step being played */
    std::string step_text;
    uint64_t steps[CK_COUNT] = {};
    uint64_t skipped[CK_COUNT] = {}; /* drawn, not played (--without) */
    uint64_t entries_sent = 0;
    uint32_t last_sent = 0;      /* the newest entry handed to the running korv; 0: none */
    uint64_t digest = 1469598103934665603ull; /* FNV-1a over the steps played */

    std::mutex mu;               /* guards the fields below */
    std::map<std::string, uint64_t> passed;  /* checks passed, by kind */
    std::vector<std::string> failures;       /* the first few of each check, in order */
    std::map<std::string, uint64_t> failed;  /* checks failed, by kind */
    int expect_exit = 0;         /* 0: none, 1: status 0, 2: SIGKILL */
    std::atomic<bool> up{false}; /* korv is up: status must answer */
    std::atomic<unsigned> up_gen{0};
    std::vector<chaos_proc_sample> life; /* the running korv's samples */
    chaos_proc_sample peak;              /* the largest figures of any korv */
    pid_t life_pid = -1;

    std::atomic<bool> stopping{false};
    bool interrupted = false;    /* a stop signal ended the run early */
    std::thread prober;
};

/* A canary outside the root's data: the target of the links planted where
 * korv writes its captures. */
constexpr const char *k_link_target = "/chaos-link-target.bin";

/* Counts a pass, or prints and keeps a failure with the seed, the moment and
 * the evidence.  Any thread. */
void chaos_result(chaos_state &s, const std::string &check, bool ok, const std::string &evidence);
double chaos_seconds(const chaos_state &s);
/* A host path below the root for a device path. */
std::string chaos_host(const chaos_state &s, const std::string &device_path);
std::string chaos_read(const std::string &path);

/* ---- the framework stand-in (chaos_frame.cc) ---- */
/* Starts fwmd on the run's ports (0: free ones, remembered); 0 or -1. */
int chaos_frame_start(chaos_state &s);
void chaos_frame_stop(chaos_state &s);
/* Plays one traffic step; sends the path records first on a new NV link. */
void chaos_frame_step(chaos_state &s, const chaos_step &st);
/* Waits for both links of a korv started after `work_after`/`nv_after`
 * connections; the ms each took, or -1. */
void chaos_frame_wait_links(chaos_state &s, unsigned work_after, unsigned nv_after, int limit_ms, int *work_ms,
                            int *nv_ms);

/* ---- the faults (chaos_fault.cc) ---- */
void chaos_fault_step(chaos_state &s, const chaos_step &st);
/* Starts korv under the simulated init and waits until it answers and both
 * links are up; 0 or -1 (recorded as a failure). */
int chaos_korv_start(chaos_state &s);
/* The end of the run: a clean stop, then the last checks. */
void chaos_korv_final_stop(chaos_state &s);
/* Checks every NV file and canary against the ledger. */
void chaos_check_files(chaos_state &s, const char *after);

/* ---- the summary (chaos_summary.cc) ---- */
void chaos_progress(chaos_state &s);
void chaos_summary(chaos_state &s);

}  // namespace korvsim

#endif
