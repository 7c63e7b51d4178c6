// korv-sim chaos: the progress line and the summary at the end: steps and
// faults played by kind, checks passed by kind, the entries sent, owed and
// lost as allowed, every failure again, and the seed with a digest of the
// steps played (one seed, one digest for the same number of steps).
#include <inttypes.h>

#include "chaos_run.h"

namespace korvsim {

void chaos_progress(chaos_state &s) {
    uint64_t faults = 0, checks = 0;
    for (int k = 0; k < CK_COUNT; k++)
        if (chaos_is_fault((chaos_kind)k)) faults += s.steps[k];
    uint64_t failed = 0;
    {
        std::lock_guard<std::mutex> g(s.mu);
        for (const auto &p : s.passed) checks += p.second;
        for (const auto &f : s.failed) failed += f.second;
    }
    fprintf(s.opt.out, "chaos: %6.1f s  step %" PRIu64 "  faults %" PRIu64 "  entries sent %" PRIu64 "  owed %" PRIu64
                       "  checks passed %" PRIu64 "  failed %" PRIu64 "\n",
            chaos_seconds(s), s.step_no, faults, s.entries_sent, s.ledger.owed_total, checks, failed);
    fflush(s.opt.out);
}

void chaos_summary(chaos_state &s) {
    FILE *o = s.opt.out;
    std::lock_guard<std::mutex> g(s.mu);
    fprintf(o, "\n== chaos summary ==\n");
    fprintf(o, "seed %" PRIu64 ", steps 1 to %" PRIu64 " of its plan in %.1f s, digest of the steps played %016" PRIx64 "\n",
            s.opt.seed, s.step_no, chaos_seconds(s), s.digest);
    fprintf(o, "\nframework traffic:\n");
    for (int k = 0; k < CK_COUNT; k++)
        if (!chaos_is_fault((chaos_kind)k) && s.steps[k]) fprintf(o, "  %8" PRIu64 "  %s\n", s.steps[k], chaos_kind_name((chaos_kind)k));
    fprintf(o, "\nfaults injected:\n");
    for (int k = 0; k < CK_COUNT; k++)
        if (chaos_is_fault((chaos_kind)k) && s.steps[k]) fprintf(o, "  %8" PRIu64 "  %s\n", s.steps[k], chaos_kind_name((chaos_kind)k));
    bool any = false;
    for (int k = 0; k < CK_COUNT; k++) {
        if (!s.skipped[k]) continue;
        if (!any) fprintf(o, "\nleft out (--without):\n");
        any = true;
        fprintf(o, "  %8" PRIu64 "  %s\n", s.skipped[k], chaos_kind_name((chaos_kind)k));
    }
    fprintf(o, "\nchecks passed:\n");
    for (const auto &p : s.passed) fprintf(o, "  %8" PRIu64 "  %s\n", p.second, p.first.c_str());
    fprintf(o, "\nNV entries: %" PRIu64 " sent, %" PRIu64 " written (by korv's log), %" PRIu64
               " owed (read before a clean end, or written %zu before a cut), %" PRIu64
               " read but lost as allowed (a cut, a SIGKILL, or refused at a planted NV file)\n",
            s.entries_sent, s.ledger.written_total, s.ledger.owed_total, k_chaos_cut_window, s.ledger.lost_allowed);
    fprintf(o, "korv's peak: %d descriptors, %d threads, %ld MiB resident\n", s.peak.fds, s.peak.threads,
            s.peak.rss_kib / 1024);
    if (s.failed.empty()) {
        fprintf(o, "\nkorv-sim chaos: every invariant held (seed %" PRIu64 ")\n", s.opt.seed);
    } else {
        uint64_t total = 0;
        fprintf(o, "\nchecks failed:\n");
        for (const auto &f : s.failed) fprintf(o, "  %8" PRIu64 "  %s\n", f.second, f.first.c_str()), total += f.second;
        fprintf(o, "\nfirst failures of each check:\n");
        for (const auto &f : s.failures) fprintf(o, "%s\n", f.c_str());
        fprintf(o, "\nkorv-sim chaos: %" PRIu64 " invariant checks FAILED (seed %" PRIu64 ")\n", total, s.opt.seed);
    }
    fflush(o);
}

}  // namespace korvsim
