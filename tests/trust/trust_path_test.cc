// The confinement of framework-named paths, against the real korv: NV writes
// and binary loads that name a path with "..", a link out of the NV tree, a
// FIFO, a pty or an absolute path outside the tree are refused, and nothing
// is written or loaded; a path inside the tree and a link that stays inside
// it are written and loaded as before.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/hostile/hostile_rig.h"

using namespace hostile;

namespace {

const std::string EVIL_DIR = "/data/brimwell/wf_manager/waveform/EVIL/";   /* driver loads */
const std::string PLAIN_DIR = "/data/brimwell/wf_manager/waveform/PLAIN/"; /* direct loads */
const std::string VICTIM = "/system/etc/victim.bin"; /* inside the root, outside the NV tree */
const std::string VICTIM_TEXT = "victim: nobody may write or load me";
const uint32_t LOAD_DST = 0x200000;

std::string refused(const std::string &device_path, const std::string &reason) {
    return "[NV][FLOW]: refused path " + device_path + ": " + reason + "\n";
}

/* Links, a FIFO and ini files beside the waveforms. */
void build_traps(const korvtest::sim_root &root) {
    root.write(VICTIM, VICTIM_TEXT);
    for (const std::string &dir : {EVIL_DIR, PLAIN_DIR}) {
        std::filesystem::create_directories(root.path(dir));
        ASSERT_EQ(symlink(root.path(VICTIM).c_str(), root.path(dir + "abs_out.bin").c_str()), 0);
        ASSERT_EQ(symlink("../../../../../system/etc/victim.bin", root.path(dir + "rel_out.bin").c_str()), 0);
        ASSERT_EQ(mkfifo(root.path(dir + "fifo.bin").c_str(), 0666), 0);
        ASSERT_EQ(symlink("../UTRAN/u.bin", root.path(dir + "in_link.bin").c_str()), 0);
    }
    root.write(EVIL_DIR + "load_config.ini", "load_wave_type_ex = 1\n");
    root.write(EVIL_DIR + "wf_config.ini", "bin_name = abs_out.bin rel_out.bin fifo.bin victim.bin in_link.bin\n");
}

fwmd_body one_entry(uint32_t wf_id, const std::string &data) {
    fwmd_body b = fwmd_body().u32(1);
    return nv_entry(b, wf_id, 0, data);
}

/* Sends a load of `name` for wf_id and returns the confirmed count, or -1. */
long load(rig &r, uint32_t wf_id, const std::string &name) {
    if (r.send(FWMD_NV, MWRX_WFMGR_LOAD_REQ, load_req(64, 0, LOAD_DST, 0, (uint32_t)name.size(), name), wf_id) != 0)
        return -1;
    fwmd_msg cnf = r.next(FWMD_NV, MWRX_WFMGR_LOAD_CNF);
    return cnf.msg_cmd == MWRX_WFMGR_LOAD_CNF && cnf.wf_id == wf_id ? load_count(cnf) : -1;
}

int journal_loads(const korvtest::sim_root &root) {
    int n = 0;
    for (const std::string &l : root.journal()) n += l.rfind("WF_BIN_LOAD", 0) == 0;
    return n;
}

/* The traps first, then what stays inside the tree, on one korv. */
TEST(TrustPath, EscapesFifosAndOutsidePathsAreRefusedWhatStaysInsideWorksAsBefore) {
    rig r;
    build_traps(r.root);
    ASSERT_EQ(symlink("../UTRAN/nvram_utran.bin", r.root.path(EVIL_DIR + "nv_link.bin").c_str()), 0);
    ASSERT_TRUE(r.up());
    const std::string dotdot_dir = "/data/brimwell/wf_manager/waveform/UTRAN/../../../../../system/etc";
    struct nv_case {
        uint32_t wf_id;
        std::string dir, file, reason;
    } cases[] = {
        {10, dotdot_dir, "victim.bin", "'..' component"},
        {11, "/system/etc", "victim.bin", "not beneath the NV tree"},
        {12, EVIL_DIR.substr(0, EVIL_DIR.size() - 1), "abs_out.bin", "leaves the NV tree"},
        {13, EVIL_DIR.substr(0, EVIL_DIR.size() - 1), "rel_out.bin", "leaves the NV tree"},
        {14, EVIL_DIR.substr(0, EVIL_DIR.size() - 1), "fifo.bin", "not a regular file"},
    };
    for (const nv_case &c : cases) {
        SCOPED_TRACE(c.file + " in " + c.dir);
        ASSERT_EQ(r.send(FWMD_NV, MWRX_WFMGR_COMM_PATH_INFO_IND, path_info(c.wf_id, c.dir, c.file)), 0);
        ASSERT_EQ(r.send(FWMD_NV, MWRX_WFMGR_NV_MODIFY_IND, one_entry(c.wf_id, "PWNED")), 0);
        const std::string device_path = c.dir + "/" + c.file;
        EXPECT_TRUE(r.korv->wait_log(refused(device_path, c.reason)));
        EXPECT_TRUE(r.korv->wait_log("[NV][FLOW]: tp_open,fileid = 0x0, " + device_path + "\n"));
    }

    /* Loads, direct (PLAIN has no ini files) and through the driver (EVIL's
     * wf_config.ini names every trap). */
    ASSERT_EQ(r.send(FWMD_NV, MWRX_WFMGR_COMM_PATH_INFO_IND, path_info(20, PLAIN_DIR, "x")), 0);
    ASSERT_EQ(r.send(FWMD_NV, MWRX_WFMGR_COMM_PATH_INFO_IND, path_info(21, EVIL_DIR, "x")), 0);
    const std::string memory_before = korvtest::read_range(r.root.path("/dev/modem"), LOAD_DST, 64);
    for (uint32_t wf : {20u, 21u}) {
        const std::string &dir = wf == 20 ? PLAIN_DIR : EVIL_DIR;
        SCOPED_TRACE(dir);
        struct {
            const char *name, *reason;
        } loads[] = {{"../../../../../system/etc/victim.bin", "'..' component"},
                     {"abs_out.bin", "leaves the NV tree"},
                     {"rel_out.bin", "leaves the NV tree"},
                     {"fifo.bin", "not a regular file"}};
        for (const auto &l : loads) {
            const int before = r.count(refused(dir + l.name, l.reason));
            EXPECT_EQ(load(r, wf, l.name), 0) << l.name;
            EXPECT_EQ(r.count(refused(dir + l.name, l.reason)), before + 1) << l.name;
        }
    }
    EXPECT_EQ(korvtest::read_range(r.root.path("/dev/modem"), LOAD_DST, 64), memory_before);
    EXPECT_EQ(journal_loads(r.root), 0) << "the driver was asked to load a refused path";
    EXPECT_EQ(r.root.read(VICTIM), VICTIM_TEXT);
    EXPECT_EQ(r.count("File open success!"), 0);

    /* Inside the tree, directly and through links that stay inside. */
    const int refusals = r.count("refused path");
    const std::string nv_file = UTRAN_DIR + "nvram_utran.bin";

    ASSERT_EQ(r.send(FWMD_NV, MWRX_WFMGR_COMM_PATH_INFO_IND, path_info(3, UTRAN_DIR, "nvram_utran.bin")), 0);
    ASSERT_EQ(r.send(FWMD_NV, MWRX_WFMGR_NV_MODIFY_IND, one_entry(3, "DIRECT")), 0);
    ASSERT_EQ(r.send(FWMD_NV, MWRX_WFMGR_COMM_PATH_INFO_IND, path_info(4, EVIL_DIR, "nv_link.bin")), 0);
    fwmd_body linked = fwmd_body().u32(1);
    ASSERT_EQ(r.send(FWMD_NV, MWRX_WFMGR_NV_MODIFY_IND, nv_entry(linked, 4, 8, "LINKED")), 0);
    auto at = [&](uint64_t off) { return korvtest::read_range(r.root.path(nv_file), off, 6); };
    EXPECT_TRUE(korvtest::wait_until([&] { return at(0) == "DIRECT" && at(8) == "LINKED"; }, 15000));

    /* A direct load through a link inside, a load of a plain file. */
    const std::string u_bin = r.root.read(UTRAN_DIR + "u.bin");
    EXPECT_EQ(load(r, 20, "in_link.bin"), 64);
    EXPECT_EQ(korvtest::read_range(r.root.path("/dev/modem"), LOAD_DST, 64), u_bin.substr(0, 64));
    EXPECT_EQ(load(r, 3, "u.bin"), 64);

    /* The driver is asked for a binary reached through a link inside. */
    EXPECT_EQ(load(r, 21, "in_link.bin"), 0);
    EXPECT_EQ(journal_loads(r.root), 1);
    EXPECT_EQ(r.count("refused path"), refusals) << "a path inside the tree was refused";
    expect_clean(r);
}

TEST(TrustPath, PtyIsRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root (mknod of a pty slave inside the tree)";
    rig r;
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    struct stat st;
    ASSERT_EQ(stat(ptsname(master), &st), 0);
    ASSERT_EQ(mknod(r.root.path(UTRAN_DIR + "pty.bin").c_str(), S_IFCHR | 0666, st.st_rdev), 0);
    ASSERT_TRUE(r.up());

    ASSERT_EQ(r.send(FWMD_NV, MWRX_WFMGR_COMM_PATH_INFO_IND, path_info(3, UTRAN_DIR, "pty.bin")), 0);
    ASSERT_EQ(r.send(FWMD_NV, MWRX_WFMGR_NV_MODIFY_IND, one_entry(3, "PWNED")), 0);
    EXPECT_TRUE(r.korv->wait_log(refused(UTRAN_DIR + "/pty.bin", "not a regular file")));
    EXPECT_EQ(load(r, 3, "pty.bin"), 0);
    EXPECT_EQ(r.count(refused(UTRAN_DIR + "pty.bin", "not a regular file")), 1);
    struct pollfd p = {master, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 200), 0) << "something reached the pty";
    close(master);
    expect_clean(r);
}

}  // namespace
