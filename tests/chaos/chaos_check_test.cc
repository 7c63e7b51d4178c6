// The chaos run's invariant checkers, each shown to hold on what a sound korv
// leaves and to fail on the fault it guards against: an entry dropped or
// overtaken by an older one, an entry torn, a byte written outside the
// entries or into a canary, a status that hangs or comes late, links that do
// not come back, an exception without its end, a korv that grows, a
// sanitizer report or an exit nobody caused, and a cut image that e2fsck had
// to repair.
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "chaos_check.h"
#include "korvctl.h"

using namespace korvsim;

namespace {

const uint32_t k_utran = 0; /* index of the UTRAN NV file */

// korv's log lines for entries, as its dispatcher and writer print them.
std::string read_line(uint32_t seq, uint32_t file, uint32_t slot, int index) {
    return "12-07 18:43:22.056 4080 4089 D 4: [NV][FLOW]: MWRX_WFMGR_NV_MODIFY_IND: NVRAM_MODIFY_IND[" +
           std::to_string(index) + "] data=" + chaos_entry_text(seq, file, slot) + "\n";
}
std::string written_line(uint32_t seq, uint32_t file, uint32_t slot) {
    return "12-07 18:43:22.057 4080 4087 D 4: [NV][FLOW]: man_nvram_entry: NVRAM_MODIFY_IND data=" +
           chaos_entry_text(seq, file, slot) + "\n";
}

// A file and the run's record of it: `n` entries sent to UTRAN's file
// (seq 1..n, slot seq % 7, so later entries overwrite earlier ones), a log
// saying korv read and wrote each, and the file as a sound korv leaves it.
struct nv_case {
    chaos_ledger ledger;
    std::string before, file, log;

    explicit nv_case(uint32_t n) {
        const chaos_nv_file &f = chaos_nv_files()[k_utran];
        for (size_t i = 0; i < f.base + k_chaos_slots * k_chaos_entry + 512; i++) before += (char)(i & 0xFF);
        file = before;
        for (uint32_t seq = 1; seq <= n; seq++) {
            uint32_t slot = seq % 7;
            chaos_ledger_sent(&ledger, {seq, k_utran, slot});
            log += read_line(seq, k_utran, slot, 0);
            log += written_line(seq, k_utran, slot);
            put(seq, slot);
        }
    }
    void put(uint32_t seq, uint32_t slot) {
        file.replace(chaos_nv_files()[k_utran].base + slot * k_chaos_entry, k_chaos_entry,
                     chaos_entry_text(seq, k_utran, slot));
    }
    bool check(std::vector<std::string> *ev) const { return chaos_check_nv_file(ledger, k_utran, before, file, ev); }
};

std::string joined(const std::vector<std::string> &v) {
    std::string s;
    for (const auto &l : v) s += l + "\n";
    return s;
}

TEST(ChaosNvCheck, SoundFileAfterCleanEndHoldsAndEveryReadEntryIsOwed) {
    nv_case c(50);
    EXPECT_EQ(chaos_ledger_korv_ended(&c.ledger, c.log, true), 50u);
    std::vector<std::string> ev;
    EXPECT_TRUE(c.check(&ev)) << joined(ev);
    // Untouched slots and slots holding a newer entry than the one owed hold too.
    c.put(51, 3);
    chaos_ledger_sent(&c.ledger, {51, k_utran, 3});
    EXPECT_TRUE(c.check(&ev)) << joined(ev);

    // An entry korv read while something was planted at its file is not owed:
    // its slot (3) may keep the older entry #3.
    nv_case planted(10);
    planted.ledger.exempt.insert(10);
    planted.put(3, 3);
    EXPECT_EQ(chaos_ledger_korv_ended(&planted.ledger, planted.log, true), 9u);
    EXPECT_EQ(planted.ledger.lost_allowed, 1u);
    EXPECT_TRUE(planted.check(&ev)) << joined(ev);
}

TEST(ChaosNvCheck, DroppedOrOvertakenEntryIsLost) {
    {
        // The newest entry of slot 0 (seq 49) never reached the file: the slot
        // still holds seq 42.
        nv_case c(49);
        chaos_ledger_korv_ended(&c.ledger, c.log, true);
        c.put(42, 0);
        std::vector<std::string> ev;
        EXPECT_FALSE(c.check(&ev));
        ASSERT_EQ(ev.size(), 1u) << joined(ev);
        EXPECT_NE(ev[0].find("lost:"), std::string::npos) << ev[0];
        EXPECT_NE(ev[0].find("#49"), std::string::npos) << ev[0];
        EXPECT_NE(ev[0].find("older entry #42"), std::string::npos) << ev[0];
    }
    {
        // An owed slot that still has its bytes from before.
        nv_case c(3);
        chaos_ledger_korv_ended(&c.ledger, c.log, true);
        c.file.replace(chaos_nv_files()[k_utran].base + 2 * k_chaos_entry, k_chaos_entry,
                       c.before.substr(chaos_nv_files()[k_utran].base + 2 * k_chaos_entry, k_chaos_entry));
        std::vector<std::string> ev;
        EXPECT_FALSE(c.check(&ev));
        EXPECT_NE(joined(ev).find("bytes from before"), std::string::npos) << joined(ev);
    }
}

TEST(ChaosNvCheck, TornEntryOrForeignBytesAreTorn) {
    nv_case c(10);
    chaos_ledger_korv_ended(&c.ledger, c.log, true);
    const size_t at = chaos_nv_files()[k_utran].base + 5 * k_chaos_entry;
    // Half of entry 5, half of what the slot held before it.
    std::string torn = c.file;
    torn.replace(at + 8, 8, c.before.substr(at + 8, 8));
    std::vector<std::string> ev;
    EXPECT_FALSE(chaos_check_nv_file(c.ledger, k_utran, c.before, torn, &ev));
    EXPECT_NE(joined(ev).find("torn:"), std::string::npos) << joined(ev);
    EXPECT_NE(joined(ev).find("slot 5"), std::string::npos) << joined(ev);
    // An entry of this run in the wrong slot is no entry sent to that slot.
    std::string moved = c.file;
    moved.replace(at, k_chaos_entry, chaos_entry_text(3, k_utran, 3));
    ev.clear();
    EXPECT_FALSE(chaos_check_nv_file(c.ledger, k_utran, c.before, moved, &ev));
    EXPECT_NE(joined(ev).find("torn:"), std::string::npos) << joined(ev);
}

TEST(ChaosNvCheck, WriteOutsideTheEntriesIsCaught) {
    nv_case c(10);
    chaos_ledger_korv_ended(&c.ledger, c.log, true);
    std::vector<std::string> ev;
    std::string outside = c.file;
    outside[10] ^= 0x55; /* below the slots */
    EXPECT_FALSE(chaos_check_nv_file(c.ledger, k_utran, c.before, outside, &ev));
    EXPECT_NE(joined(ev).find("outside the written slots"), std::string::npos) << joined(ev);
    ev.clear();
    EXPECT_FALSE(chaos_check_nv_file(c.ledger, k_utran, c.before, c.file + "x", &ev)) << "a grown file";
}

TEST(ChaosNvCheck, AfterACutOnlyEntriesWrittenAWindowBeforeItAreOwed) {
    const uint32_t n = 200;
    // Each entry in a slot of its own, so that each is owed on its own.
    chaos_ledger l;
    std::string log;
    const chaos_nv_file &f = chaos_nv_files()[k_utran];
    std::string before(f.base + k_chaos_slots * k_chaos_entry, '\0'), file = before;
    for (uint32_t seq = 1; seq <= n; seq++) {
        chaos_ledger_sent(&l, {seq, k_utran, seq});
        log += read_line(seq, k_utran, seq, 0) + written_line(seq, k_utran, seq);
    }
    // Read but never written: lost as allowed.
    chaos_ledger_sent(&l, {n + 1, k_utran, n + 1});
    log += read_line(n + 1, k_utran, n + 1, 0);
    EXPECT_EQ(chaos_ledger_korv_ended(&l, log, false), n - k_chaos_cut_window);
    EXPECT_EQ(l.lost_allowed, 1 + k_chaos_cut_window);
    EXPECT_EQ(l.written_total, n);
    // The image holds what was written up to the window before the cut.
    for (uint32_t seq = 1; seq <= n - k_chaos_cut_window; seq++)
        file.replace(f.base + seq * k_chaos_entry, k_chaos_entry, chaos_entry_text(seq, k_utran, seq));
    std::vector<std::string> ev;
    EXPECT_TRUE(chaos_check_nv_file(l, k_utran, before, file, &ev)) << joined(ev);
    // One entry more lost than the window allows.
    uint32_t last_owed = n - k_chaos_cut_window;
    file.replace(f.base + last_owed * k_chaos_entry, k_chaos_entry, k_chaos_entry, '\0');
    EXPECT_FALSE(chaos_check_nv_file(l, k_utran, before, file, &ev));
    EXPECT_NE(joined(ev).find("#" + std::to_string(last_owed)), std::string::npos) << joined(ev);
}

TEST(ChaosNvCheck, LogReaderTakesOnlyWholeEntryLines) {
    std::string log = read_line(7, k_utran, 1, 3) + written_line(7, k_utran, 1) +
                      "12-07 18:43:22.057 4080 4087 D 4: [NV][FLOW]: man_nvram_entry: NVRAM_MODIFY_IND data=DEMO-MA!\n" +
                      "12-07 18:43:22.057 4080 4087 D 4: [NV][FLOW]: man_nvram_entry: NVRAM_MODIFY_IND data=000000" +
                      "\nnoise\n" + written_line(8, k_utran, 2);
    log.pop_back(); /* the last line is still being written */
    std::vector<uint32_t> read, written;
    chaos_log_entries(log, &read, &written);
    EXPECT_EQ(read, std::vector<uint32_t>({7}));
    EXPECT_EQ(written, std::vector<uint32_t>({7}));
}

TEST(ChaosOutsideCheck, CanaryMustStayByteIdentical) {
    std::string before(4096, 'c'), ev;
    EXPECT_TRUE(chaos_check_untouched("/chaos-canary.bin", before, before, &ev));
    std::string now = before;
    now[1000] = 'X';
    EXPECT_FALSE(chaos_check_untouched("/chaos-canary.bin", before, now, &ev));
    EXPECT_NE(ev.find("byte 1000"), std::string::npos) << ev;
    EXPECT_FALSE(chaos_check_untouched("/chaos-canary.bin", before, "", &ev)) << "truncated";
    EXPECT_NE(ev.find("0 bytes"), std::string::npos) << ev;
}

// A control socket at ROOT/dev/socket/korv that answers a status request
// after delay_ms, or never (delay_ms < 0).
struct fake_ctl {
    std::string root;
    int fd = -1;
    std::thread th;
    std::atomic<bool> done{false};

    explicit fake_ctl(int delay_ms) {
        char tmpl[] = "/tmp/chaos-ctl-XXXXXX";
        root = mkdtemp(tmpl);
        std::filesystem::create_directories(root + "/dev/socket");
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::string path = korvctl_socket_path(root);
        snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
        if (bind(fd, (sockaddr *)&a, sizeof a) != 0 || listen(fd, 4) != 0) return;
        th = std::thread([this, delay_ms] {
            int c = accept(fd, nullptr, nullptr);
            char buf[64];
            if (c < 0 || read(c, buf, sizeof buf) <= 0) return;
            if (delay_ms >= 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
                const char ans[] = "{\"pid\":1}\n";
                (void)!write(c, ans, sizeof ans - 1);
            }
            while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            close(c);
        });
    }
    // How the run asks: one request, timed.
    bool ask(int *ms, std::string *err) {
        std::string text;
        auto t0 = std::chrono::steady_clock::now();
        int rc = korvctl_ask(korvctl_socket_path(root), "status", &text, err, 1500);
        *ms = (int)std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
        return rc == 0;
    }
    ~fake_ctl() {
        done = true;
        shutdown(fd, SHUT_RDWR);
        if (th.joinable()) th.join();
        close(fd);
        std::filesystem::remove_all(root);
    }
};

TEST(ChaosAliveCheck, StatusThatHangsOrComesLateFails) {
    std::string err, ev;
    int ms = 0;
    EXPECT_TRUE(chaos_check_status(true, 200, "", &ev)) << ev;
    // Real requests, so the evidence is what the run would see; neither can
    // come in time however fast the machine is.
    {
        fake_ctl hung(-1);
        bool ok = hung.ask(&ms, &err);
        EXPECT_FALSE(chaos_check_status(ok, ms, err, &ev));
        EXPECT_NE(ev.find("not answered"), std::string::npos) << ev;
    }
    {
        fake_ctl late(k_chaos_status_ms + 300);
        bool ok = late.ask(&ms, &err);
        EXPECT_FALSE(chaos_check_status(ok, ms, err, &ev)) << "answered after " << ms << " ms";
        EXPECT_NE(ev.find("limit"), std::string::npos) << ev;
    }
}

TEST(ChaosAliveCheck, LinksExceptionsAndGrowth) {
    std::string ev;
    EXPECT_TRUE(chaos_check_reconnect(300, 700, &ev)) << ev;
    EXPECT_FALSE(chaos_check_reconnect(-1, 700, &ev));
    EXPECT_NE(ev.find("work link not back"), std::string::npos) << ev;
    EXPECT_FALSE(chaos_check_reconnect(300, k_chaos_reconnect_ms + 1, &ev));

    EXPECT_TRUE(chaos_check_exception({1, 2}, true, &ev)) << ev;
    EXPECT_FALSE(chaos_check_exception({1}, true, &ev)) << "no notification 2";
    EXPECT_NE(ev.find("no 2"), std::string::npos) << ev;
    EXPECT_FALSE(chaos_check_exception({1, 2}, false, &ev)) << "no restart";
    EXPECT_NE(ev.find("not started again"), std::string::npos) << ev;

    chaos_flat_limits lim;
    std::vector<chaos_proc_sample> life(20, chaos_proc_sample{30, 12, 200 * 1024});
    EXPECT_TRUE(chaos_check_flat(life, lim, &ev)) << ev;
    life[15].fds = lim.fds + 1; /* a descriptor leak */
    EXPECT_FALSE(chaos_check_flat(life, lim, &ev));
    EXPECT_NE(ev.find("sample 16 of 20"), std::string::npos) << ev;
    life[15].fds = 30;
    life.back().threads = lim.threads + 5;
    EXPECT_FALSE(chaos_check_flat(life, lim, &ev));
    life.back().threads = 12;
    life.back().rss_kib = lim.rss_kib * 2;
    EXPECT_FALSE(chaos_check_flat(life, lim, &ev));
}

TEST(ChaosCleanCheck, SanitizerReportsAndUncausedExits) {
    std::string ev;
    EXPECT_TRUE(chaos_check_log_line("korv| 12-07 18:43:20.741 3983 3988 D 4: [NV][FLOW]: drained 0", &ev));
    EXPECT_FALSE(chaos_check_log_line("korv| ==4242==ERROR: AddressSanitizer: heap-use-after-free on address", &ev));
    EXPECT_FALSE(chaos_check_log_line("korv| korv/nvram/nv_socket.cc:120:5: runtime error: signed integer overflow", &ev));
    EXPECT_NE(ev.find("sanitizer report"), std::string::npos) << ev;

    EXPECT_TRUE(chaos_check_exit("korv-sim: korv exited with status 0", false, &ev)) << ev;
    EXPECT_TRUE(chaos_check_exit("korv-sim: korv killed by signal 9", true, &ev)) << ev;
    EXPECT_FALSE(chaos_check_exit("korv-sim: korv killed by signal 11", false, &ev));
    EXPECT_NE(ev.find("signal 11"), std::string::npos) << ev;
    EXPECT_FALSE(chaos_check_exit("korv-sim: korv killed by signal 6", true, &ev));
    EXPECT_FALSE(chaos_check_exit("korv-sim: korv exited with status 1", false, &ev));
}

TEST(ChaosFsckCheck, OnlyTheRepairsACrashLeavesPass) {
    std::string ev;
    EXPECT_TRUE(chaos_check_fsck(0, "korv-data: clean, 11/32768 files\n", &ev)) << ev;
    const std::string crash = "korv-data: recovering journal\nPass 1: Checking inodes, blocks, and sizes\n"
                              "Pass 5: Checking group summary information\n"
                              "Free blocks count wrong (28000, counted=27950).\nFix? yes\n\n"
                              "Free inodes count wrong (32700, counted=32690).\nFix? yes\n\n";
    EXPECT_TRUE(chaos_check_fsck(1, crash, &ev)) << ev;
    EXPECT_FALSE(chaos_check_fsck(1, crash + "Inode 12 has illegal block(s).  Clear? yes\n", &ev));
    EXPECT_NE(ev.find("Inode 12"), std::string::npos) << ev;
    EXPECT_FALSE(chaos_check_fsck(4, "UNEXPECTED INCONSISTENCY; RUN fsck MANUALLY.\n", &ev));
}

}  // namespace
