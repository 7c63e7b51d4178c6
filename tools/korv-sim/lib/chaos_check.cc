// korv-sim chaos: the invariant checkers (see chaos_check.h).  Each returns
// true when the invariant held and otherwise words what it saw, with the
// bytes where bytes are the evidence.
#include "chaos_check.h"

#include <stdio.h>
#include <stdlib.h>

#include <cstring>
#include <sstream>

namespace korvsim {
namespace {

const char k_read_mark[] = "MWRX_WFMGR_NV_MODIFY_IND: NVRAM_MODIFY_IND[";
const char k_written_mark[] = "man_nvram_entry: NVRAM_MODIFY_IND data=";

/* The seq of entry text at p (k_chaos_entry bytes), or 0 when the bytes are
 * not an entry of this run. */
uint32_t entry_seq(const char *p, size_t n) {
    if (n < k_chaos_entry || p[k_chaos_entry - 1] != ';' || p[9] < 'A' || p[9] > 'Z') return 0;
    uint32_t seq = 0;
    for (int i = 0; i < 9; i++) {
        if (p[i] < '0' || p[i] > '9') return 0;
        seq = seq * 10 + (uint32_t)(p[i] - '0');
    }
    return seq;
}

/* Printable bytes as they are, others as \xHH. */
std::string shown(const std::string &b) {
    std::string out;
    for (unsigned char c : b) {
        char h[8];
        if (c >= 0x20 && c < 0x7f && c != '\\') out += (char)c;
        else snprintf(h, sizeof h, "\\x%02x", c), out += h;
    }
    return out;
}

std::string slot_name(const chaos_nv_file &f, uint32_t slot) {
    char b[64];
    snprintf(b, sizeof b, " slot %u (offset 0x%x)", slot, f.base + slot * k_chaos_entry);
    return f.file + std::string(b);
}

/* The seq whose entry fills the slot's bytes, 0 when they are the bytes
 * from before, -1 when they are neither (torn or foreign). */
int64_t slot_holds(const chaos_ledger &l, uint32_t file, uint32_t slot, const std::string &now,
                   const std::string &before) {
    if (now == before) return 0;
    uint32_t seq = entry_seq(now.data(), now.size());
    auto it = l.sent.find(seq);
    if (seq == 0 || it == l.sent.end() || it->second.file != file || it->second.slot != slot ||
        now != chaos_entry_text(seq, file, slot))
        return -1;
    return seq;
}

std::string range(const std::string &b, size_t off, size_t n) { return off < b.size() ? b.substr(off, n) : ""; }

}  // namespace

void chaos_ledger_sent(chaos_ledger *l, const chaos_entry &e) { l->sent[e.seq] = e; }

std::string chaos_written_text(const chaos_entry &e) {
    return k_written_mark + chaos_entry_text(e.seq, e.file, e.slot);
}

bool chaos_ledger_owe(chaos_ledger *l, uint32_t seq) {
    auto it = l->sent.find(seq);
    if (it == l->sent.end() || l->exempt.count(seq) != 0) return false;
    uint32_t &owed = l->owed[{it->second.file, it->second.slot}];
    if (seq > owed) owed = seq;
    l->owed_total++;
    return true;
}

void chaos_log_entries(const std::string &log, std::vector<uint32_t> *read, std::vector<uint32_t> *written) {
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        if (in.eof()) break; /* a line still being written */
        size_t at = line.find(k_written_mark);
        if (at != std::string::npos) {
            at += sizeof k_written_mark - 1;
            if (uint32_t seq = entry_seq(line.data() + at, line.size() - at)) written->push_back(seq);
            continue;
        }
        at = line.find(k_read_mark);
        size_t data = at == std::string::npos ? at : line.find("] data=", at);
        if (data == std::string::npos) continue;
        data += 7;
        if (uint32_t seq = entry_seq(line.data() + data, line.size() - data)) read->push_back(seq);
    }
}

size_t chaos_ledger_korv_ended(chaos_ledger *l, const std::string &log, bool clean) {
    std::vector<uint32_t> read, written;
    chaos_log_entries(log, &read, &written);
    std::vector<uint32_t> owe = clean ? read : std::vector<uint32_t>();
    if (!clean && written.size() > k_chaos_cut_window)
        owe.assign(written.begin(), written.end() - (long)k_chaos_cut_window);
    size_t owed = 0;
    for (uint32_t seq : owe) owed += chaos_ledger_owe(l, seq);
    l->written_total += written.size();
    l->lost_allowed += read.size() > owed ? read.size() - owed : 0;
    return owed;
}

bool chaos_check_nv_file(const chaos_ledger &l, uint32_t file, const std::string &before, const std::string &now,
                         std::vector<std::string> *evidence) {
    const chaos_nv_file &f = chaos_nv_files()[file];
    size_t first = evidence->size();
    const size_t lo = f.base, hi = f.base + k_chaos_slots * k_chaos_entry;
    if (now.size() != before.size())
        evidence->push_back(std::string(f.file) + ": size " + std::to_string(now.size()) + ", was " +
                            std::to_string(before.size()));
    for (size_t i = 0; i < now.size() && i < before.size(); i++) {
        if ((i >= lo && i < hi) || now[i] == before[i]) continue;
        evidence->push_back(std::string(f.file) + ": byte 0x" + [&] {
            char b[16];
            snprintf(b, sizeof b, "%zx", i);
            return std::string(b);
        }() + " outside the written slots changed");
        break;
    }
    for (uint32_t s = 0; s < k_chaos_slots; s++) {
        size_t off = f.base + s * k_chaos_entry;
        std::string got = range(now, off, k_chaos_entry), old = range(before, off, k_chaos_entry);
        int64_t seq = slot_holds(l, file, s, got, old);
        if (seq < 0) {
            evidence->push_back("torn: " + slot_name(f, s) + " holds \"" + shown(got) +
                                "\": neither an entry sent to it nor its bytes from before (\"" + shown(old) + "\")");
            continue;
        }
        auto owed = l.owed.find({file, s});
        if (owed != l.owed.end() && seq < owed->second)
            evidence->push_back("lost: " + slot_name(f, s) + " owes entry #" + std::to_string(owed->second) +
                                " (\"" + chaos_entry_text(owed->second, file, s) + "\") but holds " +
                                (seq == 0 ? "its bytes from before" : "older entry #" + std::to_string(seq)));
    }
    return evidence->size() == first;
}

bool chaos_check_untouched(const std::string &name, const std::string &before, const std::string &now,
                           std::string *evidence) {
    if (before == now) return true;
    size_t i = 0;
    while (i < before.size() && i < now.size() && before[i] == now[i]) i++;
    *evidence = name + " changed: " + std::to_string(now.size()) + " bytes (was " + std::to_string(before.size()) +
                "), first difference at byte " + std::to_string(i) + ": \"" + shown(range(now, i, 16)) + "\"";
    return false;
}

bool chaos_check_status(bool answered, int ms, const std::string &error, std::string *evidence) {
    if (answered && ms <= k_chaos_status_ms) return true;
    *evidence = answered ? "status answered after " + std::to_string(ms) + " ms (limit " +
                               std::to_string(k_chaos_status_ms) + ")"
                         : "status not answered (" + error + ") after " + std::to_string(ms) + " ms";
    return false;
}

bool chaos_check_reconnect(int work_ms, int nv_ms, std::string *evidence) {
    auto ok = [](int ms) { return ms >= 0 && ms <= k_chaos_reconnect_ms; };
    if (ok(work_ms) && ok(nv_ms)) return true;
    auto say = [](int ms) { return ms < 0 ? std::string("not back") : "back after " + std::to_string(ms) + " ms"; };
    *evidence = "framework returned; work link " + say(work_ms) + ", NV link " + say(nv_ms) + " (limit " +
                std::to_string(k_chaos_reconnect_ms) + " ms)";
    return false;
}

bool chaos_check_exception(const std::vector<uint32_t> &notes, bool restarted, std::string *evidence) {
    bool two = false;
    for (uint32_t n : notes) two = two || n == 2;
    if (two && restarted) return true;
    std::string seen;
    for (uint32_t n : notes) seen += (seen.empty() ? "" : ", ") + std::to_string(n);
    *evidence = "notifications seen: [" + seen + "]" + (two ? "" : ", no 2") +
                (restarted ? "" : "; korv was not started again");
    return false;
}

bool chaos_check_flat(const std::vector<chaos_proc_sample> &life, const chaos_flat_limits &lim,
                      std::string *evidence) {
    for (size_t i = 0; i < life.size(); i++) {
        const chaos_proc_sample &s = life[i];
        if (s.fds <= lim.fds && s.threads <= lim.threads && s.rss_kib <= lim.rss_kib) continue;
        *evidence = "sample " + std::to_string(i + 1) + " of " + std::to_string(life.size()) + ": " +
                    std::to_string(s.fds) + " descriptors (limit " + std::to_string(lim.fds) + "), " +
                    std::to_string(s.threads) + " threads (limit " + std::to_string(lim.threads) + "), " +
                    std::to_string(s.rss_kib) + " KiB resident (limit " + std::to_string(lim.rss_kib) + ")";
        return false;
    }
    return true;
}

bool chaos_check_log_line(const std::string &line, std::string *evidence) {
    static const char *const reports[] = {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                                          "ERROR: ThreadSanitizer", "WARNING: ThreadSanitizer"};
    for (const char *r : reports)
        if (line.find(r) != std::string::npos) return *evidence = "sanitizer report: " + line, false;
    return true;
}

bool chaos_check_exit(const std::string &report, bool expect_kill, std::string *evidence) {
    const std::string want = expect_kill ? "killed by signal 9" : "exited with status 0";
    if (report.find(want) != std::string::npos) return true;
    *evidence = "korv ended unexpectedly: \"" + report + "\" (expected " + want + ")";
    return false;
}

bool chaos_check_fsck(int status, const std::string &report, std::string *evidence) {
    if (status < 0 || status > 1) {
        *evidence = "e2fsck status " + std::to_string(status) + ": " + report;
        return false;
    }
    std::istringstream in(report);
    std::string prev;
    for (std::string line; std::getline(in, line);) {
        if (line.find("? yes") != std::string::npos && prev.find("count wrong") == std::string::npos &&
            line.find("count wrong") == std::string::npos) {
            *evidence = "e2fsck repaired more than a crash leaves: \"" + prev + " " + line + "\"";
            return false;
        }
        if (!line.empty()) prev = line;
    }
    return true;
}

}  // namespace korvsim
