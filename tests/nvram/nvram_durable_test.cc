// Nothing korv has read is lost: a burst stopped by SIGTERM (an MA entry
// read before it included), a burst cut short by the self-restart of a modem
// exception, and a power cut half a second after the writer went idle (the
// phone's /data on an ext4 image through a loop device, copied as the cut
// leaves it).  Each burst carries an entry for a file that cannot be opened:
// only that entry may be missing.  A disk that fails under a batch: the
// failure is told, once per batch, and no other file pays for it; an entry
// that a full disk cannot take whole is not written at all.  A record of an
// unknown command is only logged and counted.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstring>

#include <set>

#include <gtest/gtest.h>

#include "data_image.h"
#include "korvctl.h"
#include "korv_rig.h"
#include "nv_child.h"
#include "sim_root.h"

using namespace nvtest;

namespace {

const uint32_t k_utran_id = 7, k_missing_id = 9, k_ma_id = 0xFFFFFFFF;
const uint32_t k_entry = 8, k_per_record = 40;
const std::string k_read_mark = "MWRX_WFMGR_NV_MODIFY_IND: NVRAM_MODIFY_IND[";

// Entry k: 8 bytes naming its own number, at slot k of the file.
std::string entry_data(uint32_t k) {
    char buf[16];
    snprintf(buf, sizeof buf, "%07u;", k);
    return std::string(buf, k_entry);
}

// Path records of the UTRAN NV file and of a file that does not exist.
void send_paths(fwmd_server *fw) {
    ASSERT_EQ(fwmd_send_cmd(fw, FWMD_NV, MWRX_WFMGR_COMM_PATH_INFO_IND,
                            path_info_body(k_utran_id, UTRAN_DIR, "nvram_utran.bin")), 0);
    ASSERT_EQ(fwmd_send_cmd(fw, FWMD_NV, MWRX_WFMGR_COMM_PATH_INFO_IND,
                            path_info_body(k_missing_id, UTRAN_DIR, "no_such_nv.bin")), 0);
}

// n entries for wf_id in records of 40; the first record also holds one
// entry for the missing file.
void send_burst(fwmd_server *fw, uint32_t wf_id, uint32_t n) {
    for (uint32_t k0 = 0; k0 < n; k0 += k_per_record) {
        std::vector<nv_entry> entries;
        if (k0 == 0) entries.push_back({k_missing_id, 0, "lost-one"});
        for (uint32_t k = k0; k < k0 + k_per_record && k < n; k++)
            entries.push_back({wf_id, k * k_entry, entry_data(k)});
        ASSERT_EQ(fwmd_send_cmd(fw, FWMD_NV, MWRX_WFMGR_NV_MODIFY_IND, modify(entries)), 0);
    }
}

// The entry numbers the dispatcher logged as read (their data lines).
std::set<uint32_t> read_entries(const std::string &log) {
    std::set<uint32_t> got;
    for (size_t at = log.find(k_read_mark); at != std::string::npos; at = log.find(k_read_mark, at + 1)) {
        size_t data = log.find("] data=", at);
        if (data != std::string::npos && data < log.find('\n', at) && isdigit((unsigned char)log[data + 7]))
            got.insert((uint32_t)strtoul(log.c_str() + data + 7, nullptr, 10));
    }
    return got;
}

// Every listed entry is in its slot of the file.
void expect_in_file(const std::string &host_path, const std::set<uint32_t> &entries) {
    std::string file = korvtest::read_file(host_path);
    int missing = 0;
    for (uint32_t k : entries)
        if (file.compare(k * k_entry, k_entry, entry_data(k)) != 0) missing++;
    EXPECT_EQ(missing, 0) << "of " << entries.size() << " entries in " << host_path;
}

// The stop's drain line came before the exit line, and nothing was left.
void expect_drained(const korvtest::korv_proc &korv) {
    std::string log = korv.log();
    size_t drained = log.find("[NV][FLOW]: drained ");
    EXPECT_NE(drained, std::string::npos);
    EXPECT_LT(drained, log.find("korvd exit"));
    EXPECT_EQ(korvtest::count_of(log, "[NV][FLOW]: stop left "), 0);
    // The missing file lost its own entry (its open line; the path record
    // kept its trailing slash) and nothing else.
    EXPECT_EQ(korvtest::count_of(log, "tp_open,fileid = 0x0, " + UTRAN_DIR + "/no_such_nv.bin"), 1);
}

// korv's status answer, parsed.
korvctl_json status(const korvtest::korv_rig &r) {
    korvctl_json v;
    std::string answer, err;
    EXPECT_EQ(korvctl_ask(korvctl_socket_path(r.root.dir), "status", &answer, &err), 0) << err;
    EXPECT_EQ(korvctl_json_parse(answer, &v, &err), 0) << err;
    return v;
}

TEST(NvramDurable, UnknownCommandThenBurstThenSigtermEveryReadEntryIsInTheFile) {
    korvtest::korv_rig r;
    ASSERT_TRUE(r.up());
    // A record whose command korv does not take is logged as every record
    // is (its text, its header: two lines and not one more), then only counted.
    ASSERT_EQ(r.send(FWMD_NV, 0x7777, fwmd_body().u32(5)), 0);
    ASSERT_TRUE(korvtest::wait_until([&] { return status(r)["nvram"]["unknown_commands"].as_int() == 1; }, 20000));
    EXPECT_EQ(r.count("[NV][FLOW]:socket_event fd:"), 2);
    EXPECT_EQ(r.count(" E 4: "), 0);
    korvctl_json s = status(r);
    EXPECT_EQ(s["nvram"]["queued"].as_int(), 0);
    EXPECT_EQ(s["links"]["nv"]["bad_records"].as_int(), 0);

    send_paths(r.fw);
    ASSERT_EQ(r.send(FWMD_NV, MWRX_WFMGR_NV_MODIFY_IND, modify({{k_ma_id, 32, "MA-first"}})), 0);
    send_burst(r.fw, k_utran_id, 5000);
    // SIGTERM as soon as the last entry has been read: up to a queue's depth
    // of entries is still on its way to the file.
    ASSERT_TRUE(r.korv->wait_log("NVRAM_MODIFY_IND[0] data=" + entry_data(4999), 60000));
    EXPECT_EQ(r.korv->stop(SIGTERM, 20000), 0);

    std::set<uint32_t> read = read_entries(r.korv->log());
    EXPECT_EQ(read.size(), 5000u);
    expect_in_file(r.root.path(UTRAN_DIR + "nvram_utran.bin"), read);
    EXPECT_EQ(read_range(r.root.path(MA_FILE), 32, 8), "MA-first");
    expect_drained(*r.korv);
}

TEST(NvramDurable, BurstCutShortBySelfRestartEveryReadEntryIsInTheFile) {
    korvtest::korv_rig r;
    ASSERT_TRUE(r.up());
    send_paths(r.fw);
    send_burst(r.fw, k_utran_id, 5000);
    // The exception request overtakes whatever korv has not read yet; the
    // dump tool finishes at once, and korv restarts itself with SIGUSR2.
    ASSERT_EQ(r.send(FWMD_WORK, MWRX_WFMGR_FW_EXCEPTION_REQ, fwmd_body()), 0);
    EXPECT_EQ(r.korv->wait_exit(30000), 0);
    EXPECT_EQ(r.count("[KORV][WORK]killself successed!"), 1);

    std::set<uint32_t> read = read_entries(r.korv->log());
    EXPECT_GT(read.size(), 0u);
    expect_in_file(r.root.path(UTRAN_DIR + "nvram_utran.bin"), read);
    expect_drained(*r.korv);
}

// A root whose /data is an ext4 image on a loop device; unmounted (the
// image's, then the cut copy's) before the root is removed.
struct image_root {
    korvtest::sim_root root{false};
    std::string cut = root.dir + "/cut.img", mnt = root.dir + "/cut";
    std::string err;

    bool make() {
        return korv_sim_data_image(root.dir, 64, &err) == 0 && korv_sim_init(root.dir, &err) == 0 &&
               korv_sim_data_settle(root.dir, &err) == 0;
    }
    ~image_root() {
        std::string ignored;
        korv_sim_umount(mnt, &ignored);
        korv_sim_umount(root.dir, &ignored);
    }
};

TEST(NvramDurable, PowerCutHalfASecondAfterTheWriterWentIdleKeepsEveryEntry) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root (ext4 image on a loop device)";
    image_root img;
    ASSERT_TRUE(img.make()) << img.err;
    fwmd_server *fw = fwmd_start(0, 0);
    ASSERT_NE(fw, nullptr);
    korvtest::korv_proc korv(img.root, {}, {}, fwmd_port(fw, FWMD_WORK), fwmd_port(fw, FWMD_NV));
    ASSERT_EQ(fwmd_wait_connected(fw, FWMD_NV, 20000), 0);

    send_paths(fw);
    send_burst(fw, k_utran_id, 2000);
    send_burst(fw, k_ma_id, 200);
    // A sentinel of an unknown wf_id: once the writer has handled it, it has
    // handled the whole burst and found its queue empty.
    ASSERT_EQ(fwmd_send_cmd(fw, FWMD_NV, MWRX_WFMGR_NV_MODIFY_IND, modify({{0x5E5E, 0, ""}})), 0);
    ASSERT_TRUE(korv.wait_log(written_line(0x5E5E), 60000));
    usleep(500 * 1000);
    ASSERT_EQ(korv_sim_powercut(img.root.dir, img.cut, &img.err), 0) << img.err;
    korv.kill_now();
    fwmd_stop(fw);

    std::string report;
    ASSERT_EQ(korv_sim_inspect(img.cut, img.mnt, &report, &img.err), 0) << img.err << report;
    std::set<uint32_t> utran, ma;
    for (uint32_t k = 0; k < 2000; k++) utran.insert(k);
    for (uint32_t k = 0; k < 200; k++) ma.insert(k);
    // The copy's root is the phone's /data.
    const std::string data = "/data";
    expect_in_file(img.mnt + (UTRAN_DIR + "nvram_utran.bin").substr(data.size()), utran);
    expect_in_file(img.mnt + MA_FILE.substr(data.size()), ma);
}

// A directory of the NV tree on an ext4 file system of its own, on a loop
// device whose backing file lives on a small tmpfs: once the tmpfs is filled
// up, every write to a block the backing file does not hold yet fails, as a
// worn-out or full disk would.  Torn down lazily, so a test that stops early
// (korv still holding the file) leaves no mount or device behind for long.
struct failing_disk {
    std::string dir, backing, loop;

    static int sh(const std::string &cmd) { return system((cmd + " >/dev/null 2>&1").c_str()); }
    bool up(const std::string &host_dir) {
        dir = host_dir;
        backing = host_dir + ".backing";
        if (sh("mkdir -p " + backing + " " + dir) != 0 || sh("mount -t tmpfs -o size=24M tmpfs " + backing) != 0 ||
            sh("truncate -s 16M " + backing + "/img") != 0)
            return false;
        FILE *p = popen(("losetup --find --show " + backing + "/img").c_str(), "r");
        if (p == nullptr) return false;
        char dev[64] = "";
        bool got = fgets(dev, sizeof dev, p) != nullptr;
        pclose(p);
        if (!got) return false;
        loop = std::string(dev, strcspn(dev, "\n"));
        // Everything mkfs would leave to a background thread is written now.
        return sh("mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 " + loop) == 0 &&
               sh("mount " + loop + " " + dir) == 0;
    }
    // From now on a write to a block the backing file does not hold fails.
    void fill() { sh("sync -f " + dir + "; dd if=/dev/zero of=" + backing + "/filler bs=1M"); }
    ~failing_disk() {
        sh("umount -l " + dir);
        if (!loop.empty()) sh("losetup -d " + loop);
        sh("umount -l " + backing);
    }
};

// A sync that fails is logged with the device path and the errno text, once
// per file per batch, and costs no other file its entries.
TEST(NvramDurable, FailedSyncIsLoggedOncePerBatchAndSparesOtherFiles) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root (tmpfs and loop mounts)";
    korvtest::korv_rig r;
    ASSERT_TRUE(r.up());
    const std::string fail_dir = "/data/brimwell/wf_manager/waveform/FAILDISK";
    failing_disk disk;
    ASSERT_TRUE(disk.up(r.root.path(fail_dir)));
    // Sparse: its first write needs a block the full disk cannot give.
    korvtest::write_file(r.root.path(fail_dir + "/nvram_fail.bin"), "");
    ASSERT_EQ(truncate(r.root.path(fail_dir + "/nvram_fail.bin").c_str(), 64), 0);
    disk.fill();
    send_paths(r.fw);
    const uint32_t fail_id = 21;
    ASSERT_EQ(r.send(FWMD_NV, MWRX_WFMGR_COMM_PATH_INFO_IND, path_info_body(fail_id, fail_dir, "nvram_fail.bin")), 0);

    const std::string failed = "[NV][FLOW]: sync of " + fail_dir + "/nvram_fail.bin failed: ";
    ASSERT_EQ(r.send(FWMD_NV, MWRX_WFMGR_NV_MODIFY_IND, modify({{fail_id, 0, "one"}, {k_utran_id, 0, entry_data(0)}})), 0);
    ASSERT_TRUE(r.korv->wait_log(failed, 20000));
    // A batch that writes only the other file (the failed one is tried again
    // with it, and the kernel has told its error already); then the failing
    // file again, twice in one batch.
    ASSERT_EQ(r.send(FWMD_NV, MWRX_WFMGR_NV_MODIFY_IND, modify({{k_utran_id, k_entry, entry_data(1)}})), 0);
    ASSERT_TRUE(r.korv->wait_log(written_line(k_utran_id), 20000, 2));
    ASSERT_EQ(r.send(FWMD_NV, MWRX_WFMGR_NV_MODIFY_IND, modify({{fail_id, 8, "two"}, {fail_id, 16, "three"}})), 0);
    ASSERT_TRUE(r.korv->wait_log(failed, 20000, 2));
    EXPECT_EQ(r.korv->stop(SIGTERM, 20000), 0);

    const std::string log = r.korv->log();
    EXPECT_EQ(korvtest::count_of(log, failed), 2) << "one line per batch that wrote the file";
    size_t at = log.find(failed) + failed.size();
    EXPECT_TRUE(isalpha((unsigned char)log[at])) << "an errno text follows: " << log.substr(at, 40);
    expect_in_file(r.root.path(UTRAN_DIR + "nvram_utran.bin"), {0, 1});
}

// On a full file system an entry is written whole or not at all: one that
// straddles the end of its file (room in the last page for 6 of its 8 bytes)
// fails before a byte is written, with the path and the errno text at error
// level and the counters saying so, while an entry of the same record that
// lies inside the file goes in; and an entry at the end of a file on a disk
// with room is written as before.
TEST(NvramDurable, EntryStraddlingTheEndOfAFullDiskIsNotWrittenAtAll) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root (a small tmpfs mount)";
    korvtest::korv_rig r;
    ASSERT_TRUE(r.up());
    const std::string full_dir = "/data/brimwell/wf_manager/waveform/FULLDISK";
    const std::string dir = r.root.path(full_dir), file = dir + "/nvram_full.bin";
    ASSERT_EQ(system(("mkdir -p " + dir + " && mount -t tmpfs -o size=256k tmpfs " + dir).c_str()), 0);
    struct unmount {
        std::string dir;
        ~unmount() { (void)system(("umount -l " + dir).c_str()); }
    } unmount_at_end{dir};
    std::string before;
    for (int i = 0; i < 4090; i++) before += (char)('A' + i % 26);
    korvtest::write_file(file, before);
    // Every page of the file system taken: only the file's last page has room.
    (void)system(("dd if=/dev/zero of=" + dir + "/filler bs=4k >/dev/null 2>&1").c_str());
    send_paths(r.fw);
    const uint32_t full_id = 23;
    ASSERT_EQ(r.send(FWMD_NV, MWRX_WFMGR_COMM_PATH_INFO_IND, path_info_body(full_id, full_dir, "nvram_full.bin")), 0);
    ASSERT_EQ(r.send(FWMD_NV, MWRX_WFMGR_NV_MODIFY_IND,
                     modify({{full_id, 4090, "straddle"}, {full_id, 8, "inside"}, {k_utran_id, 0, entry_data(0)}})),
              0);
    const std::string failed = "[NV][FLOW]: write of 8 bytes at 4090 to " + full_dir + "/nvram_full.bin failed: ";
    ASSERT_TRUE(r.korv->wait_log(failed, 20000));
    ASSERT_EQ(r.send(FWMD_NV, MWRX_WFMGR_NV_MODIFY_IND, modify({{0x5E5E, 0, ""}})), 0);
    ASSERT_TRUE(r.korv->wait_log(written_line(0x5E5E), 20000));

    std::string after = before;
    after.replace(8, 6, "inside");
    EXPECT_EQ(korvtest::read_file(file), after) << "the file's other bytes and its size unchanged";
    const std::string log = r.korv->log();
    size_t at = log.find(failed);
    EXPECT_EQ(log.compare(at + failed.size(), 23, "No space left on device"), 0) << log.substr(at, 120);
    EXPECT_NE(log.substr(log.rfind('\n', at) + 1, at - log.rfind('\n', at) - 1).find(" E 4: "), std::string::npos)
        << "at error level, NV module";
    EXPECT_EQ(korvtest::count_of(log, failed), 1);
    korvctl_json s = status(r);
    EXPECT_EQ(s["nvram"]["write_failed"].as_int(), 1);
    EXPECT_EQ(s["nvram"]["written"].as_int(), 2);
    EXPECT_EQ(s["nvram"]["dropped"].as_int(), 2) << "the failed entry and the sentinel";
    EXPECT_EQ(s["log"]["dropped_lines"].as_int(), 0) << "the log's disk has room";
    expect_in_file(r.root.path(UTRAN_DIR + "nvram_utran.bin"), {0});

    // Room again: the same entry goes in whole and extends the file.
    ASSERT_EQ(unlink((dir + "/filler").c_str()), 0);
    ASSERT_EQ(r.send(FWMD_NV, MWRX_WFMGR_NV_MODIFY_IND, modify({{full_id, 4090, "straddle"}})), 0);
    ASSERT_TRUE(korvtest::wait_until([&] { return korvtest::read_file(file) == after + "straddle"; }, 20000))
        << korvtest::read_file(file).size();
    EXPECT_EQ(status(r)["nvram"]["write_failed"].as_int(), 1);
}

// Seen by a child that is not root (as root, it gives that up first).
TEST(NvramDurable, DataImageCommandsRefuseWithoutRoot) {
    pid_t pid = fork();
    if (pid == 0) {
        std::string err;
        _exit((geteuid() != 0 || setuid(65534) == 0) && korv_sim_data_image("/tmp", 16, &err) != 0 &&
                      err.find("needs root") != std::string::npos
                  ? 0
                  : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
