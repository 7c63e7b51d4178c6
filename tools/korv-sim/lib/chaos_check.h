// korv-sim chaos, the invariants: each checker is a function over evidence
// (file bytes, the entries sent and owed, status timings, process figures,
// korv's log and exit reports) that says whether the invariant held and, when
// not, what was seen.  None of them runs korv, so each can be shown to fail
// on evidence made up for it.
#ifndef KORVSIM_CHAOS_CHECK_H
#define KORVSIM_CHAOS_CHECK_H

#include <stdint.h>

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "chaos_plan.h"

namespace korvsim {

/* What the framework sent and what korv owes.  An entry is owed once korv
 * promised it: read before a clean stop or a self-restart, or written at
 * least k_chaos_cut_window entries before a cut or a SIGKILL.  A slot owes
 * its newest owed entry (or a later one of the same slot). */
struct chaos_ledger {
    std::map<uint32_t, chaos_entry> sent;                        /* by seq */
    std::set<uint32_t> exempt;   /* sent while something was planted at their file: never owed */
    std::map<std::pair<uint32_t, uint32_t>, uint32_t> owed;      /* (file, slot) -> seq */
    uint64_t owed_total = 0;     /* entries ever owed */
    uint64_t written_total = 0;  /* entries korv's writer logged */
    uint64_t lost_allowed = 0;   /* read but not owed when a korv ended (or exempt) */
};
constexpr size_t k_chaos_cut_window = 64;

void chaos_ledger_sent(chaos_ledger *l, const chaos_entry &e);
/* Marks seq owed; false for an exempt seq or an unknown one (e.g. from a
 * garbled log line), which stay unowed. */
bool chaos_ledger_owe(chaos_ledger *l, uint32_t seq);

/* The text of the line korv's writer logs as it takes an entry. */
std::string chaos_written_text(const chaos_entry &e);

/* The entries korv's log says were read (the NV channel's dispatcher) and
 * written (the writer), in log order, from complete lines of `log`. */
void chaos_log_entries(const std::string &log, std::vector<uint32_t> *read, std::vector<uint32_t> *written);

/* The korv that wrote this log ended.  clean: a stop or a self-restart, so
 * every entry it read is owed; else (SIGKILL, a cut) every entry written at
 * least k_chaos_cut_window entries before its last written one.  Returns the
 * number of entries newly owed; the read but not owed go to lost_allowed. */
size_t chaos_ledger_korv_ended(chaos_ledger *l, const std::string &log, bool clean);

/* Nothing lost, nothing torn, nothing else touched in NV file `file`: every
 * slot holds whole bytes (one entry sent to it, or the bytes it had before),
 * every owed slot holds its owed entry or a later one, and every byte outside
 * the slots is as before.  Appends one line per fault to *evidence; true
 * when there was none. */
bool chaos_check_nv_file(const chaos_ledger &l, uint32_t file, const std::string &before, const std::string &now,
                         std::vector<std::string> *evidence);

/* A file korv must never write (a canary outside the NV root, the target of
 * a link planted where korv writes): byte-identical. */
bool chaos_check_untouched(const std::string &name, const std::string &before, const std::string &now,
                           std::string *evidence);

/* Alive: a status request answered, within limit_ms. */
constexpr int k_chaos_status_ms = 1000;
constexpr int k_chaos_reconnect_ms = 2000;
bool chaos_check_status(bool answered, int ms, const std::string &error, std::string *evidence);
/* Both links back within k_chaos_reconnect_ms of the framework's return
 * (ms < 0: not back at all). */
bool chaos_check_reconnect(int work_ms, int nv_ms, std::string *evidence);
/* A modem exception ends in notification 2 and a new korv.  notes: the
 * notification values read from the pty, in order. */
bool chaos_check_exception(const std::vector<uint32_t> &notes, bool restarted, std::string *evidence);

/* Flat: one korv's descriptors, threads and resident memory over its life. */
struct chaos_proc_sample {
    int fds = 0, threads = 0;
    long rss_kib = 0;
};
struct chaos_flat_limits {
    int fds = 128, threads = 48;
    long rss_kib = 1024 * 1024; /* the AddressSanitizer build's shadow and quarantine included */
};
bool chaos_check_flat(const std::vector<chaos_proc_sample> &life, const chaos_flat_limits &lim,
                      std::string *evidence);

/* Clean: a line korv (or its sanitizer runtime) wrote is no sanitizer report. */
bool chaos_check_log_line(const std::string &line, std::string *evidence);
/* Clean: an exit the service manager reported ("exited with status N",
 * "killed by signal N") is one the run expected: status 0 after a stop, an
 * exception or a lost link; signal 9 after a SIGKILL or a cut. */
bool chaos_check_exit(const std::string &report, bool expect_kill, std::string *evidence);

/* A cut image passes e2fsck: status 0, or 1 with no repair but the ones a
 * crash of a journalled ext4 leaves by design (the journal's replay, the
 * free block and inode counts, which the journal does not carry). */
bool chaos_check_fsck(int status, const std::string &report, std::string *evidence);

}  // namespace korvsim

#endif
