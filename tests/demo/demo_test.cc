/* The demonstration as a user runs it (korv-sim demo), and a scenario written
 * from docs/fwmd.md alone, played by the fwmd command against a real korv. */
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

#include "harness.h"

namespace {

/* Rows of the result table: the lines after the "RESULT ..." header that
 * start with "pass " or "FAIL ", up to the first that does not. */
std::vector<std::string> table_rows(const std::string &out) {
    std::vector<std::string> rows;
    bool inside = false;
    for (const auto &line : korvtest::split_lines(out)) {
        const bool row = line.rfind("pass ", 0) == 0 || line.rfind("FAIL ", 0) == 0;
        if (inside && !row) break;
        if (inside) rows.push_back(line);
        inside = inside || line.rfind("RESULT ", 0) == 0;
    }
    return rows;
}

TEST(Demo, EveryCapabilityPassesAndNothingIsLeftBehind) {
    std::string out;
    int rc = korvtest::run_tool({korvtest::bin_path("korv-sim"), "demo"}, &out, {}, 120000);
    ASSERT_EQ(rc, 0) << out;

    std::vector<std::string> rows = table_rows(out);
    for (const auto &r : rows) EXPECT_EQ(r.rfind("pass ", 0), 0u) << r;
    /* Each capability has at least one row, so a scenario that loses one
     * fails here even if everything left in it passes. */
    for (const char *cap :
         {"korv connects", "path info:", "NV modify: bytes land in UTRAN", "NV modify: bytes land in the MA",
          "direct load:", "auth load: the driver journal", "UTRAN start: high-speed", "UTRAN stop:",
          "SIM 1 voltage:", "SIM 2 voltage:", "exception: notification 1", "exception: dump of modem memory",
          "reset: MWRX_WFMGR_MODEM_EXCEPTION_IND", "reset: notification 2", "restart: korv ended itself",
          "restart: the service manager started korv again", "restart: korv reconnects on the work",
          "restart: korv reconnects on the NV", "stop: no process"}) {
        EXPECT_TRUE(std::any_of(rows.begin(), rows.end(), [&](auto &r) { return r.find(cap) != std::string::npos; }))
            << "no row for: " << cap << "\n" << out;
    }
    EXPECT_NE(out.find("korv-sim demo: all " + std::to_string(rows.size()) + " checks passed"),
              std::string::npos)
        << out;
    /* Framework messages both ways appear decoded in the transcript. */
    EXPECT_NE(out.find("-> nv   MWRX_WFMGR_LOAD_REQ"), std::string::npos);
    EXPECT_NE(out.find("<- work MWRX_WFMGR_MODEM_EXCEPTION_IND"), std::string::npos);

    /* the phone root named in the header line "  phone root  DIR ..." */
    const size_t at = out.find("  phone root  /tmp/korv-demo-");
    ASSERT_NE(at, std::string::npos) << out;
    const std::string root = out.substr(at + 14, out.find(' ', at + 14) - at - 14);
    EXPECT_FALSE(std::filesystem::exists(root)) << "temporary root left behind: " << root;
}

/* A clone in a folder only root can enter (root's home, a fresh mkdtemp):
 * nobody could not start korv there, so the demo says so in one line, runs
 * korv as root and passes. */
TEST(Demo, PassesFromAFolderClosedToKorvsUser) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root (the demo runs korv as nobody only as root)";
    korvtest::sim_root closed(false); /* mkdtemp: 0700, root's */
    namespace fs = std::filesystem;
    fs::create_directories(closed.dir + "/bin");
    fs::create_directories(closed.dir + "/tmp");
    for (const char *tool : {"korv-sim", "korv", "bw-dump"})
        fs::copy_file(korvtest::bin_path(tool), closed.dir + "/bin/" + tool);
    std::string out;
    int rc = korvtest::run_tool({closed.dir + "/bin/korv-sim", "demo"}, &out,
                                {"KORV_SIM_BIN_DIR=" + closed.dir + "/bin", "TMPDIR=" + closed.dir + "/tmp"},
                                120000);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("korv-sim demo: korv runs as root, not as nobody: uid 65534 cannot enter " + closed.dir +
                       " (mode 0700) on the way to " + closed.dir + "/bin/korv\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("  korv's user root\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("could not execute"), std::string::npos) << out;
    EXPECT_NE(out.find("korv-sim demo: all "), std::string::npos) << out;
}

TEST(Demo, KeepRefusesAFolderThatHoldsData) {
    korvtest::sim_root dir(false);
    dir.write("/precious", "user data");
    std::string out;
    int rc = korvtest::run_tool({korvtest::bin_path("korv-sim"), "demo", "--keep", dir.dir}, &out);
    EXPECT_EQ(rc, 2) << out;
    EXPECT_EQ(dir.read("/precious"), "user data");
    EXPECT_FALSE(dir.exists("/dev/modem")) << "a root was built over existing data";
}

/* Written from docs/fwmd.md: tell korv where waveform 5 keeps its NV file,
 * write two bytes into it, then power SIM card 0 on at voltage type 4. */
const char *const k_docs_scenario =
    "timeout 8000\n"
    "connect nv\n"
    "connect work\n"
    "send nv MWRX_WFMGR_COMM_PATH_INFO_IND selector=1 wf_id=5 wf_name=LTEP2P "
    "wf_path=/data/brimwell/wf_manager/waveform/LTEP2P nv_file_name=nvram_ltep2p.bin\n"
    "send nv MWRX_WFMGR_NV_MODIFY_IND wf_id=5 entry=0:5:0x100:hex:a55a\n"
    "label \"NV write\"\n"
    "file /data/brimwell/wf_manager/waveform/LTEP2P/nvram_ltep2p.bin 0x100 hex:a55a\n"
    "send work MWRX_WF_CARD_POWERON_REPORT_REQ card_index=0 vol_type=4\n"
    "label \"voltage confirmed\"\n"
    "expect work MWRX_WF_CARD_POWERON_REPORT_CNF\n";

TEST(Demo, ScenarioFromTheDocsDrivesKorvThroughTheFwmdCommand) {
    korvtest::sim_root root;
    int work = korvtest::free_port(), nv = korvtest::free_port();
    korvtest::korv_proc korv(root, {}, {}, work, nv);
    root.write("/good.scn", k_docs_scenario);
    /* A check that cannot hold must fail the play, or a pass means nothing. */
    root.write("/wrong.scn", "label \"wrong voltage\"\nfile /sys/tarno/usim_voltage 0 9 within=300\n");
    auto fwmd = [&](const std::string &script) {
        return std::vector<std::string>{korvtest::bin_path("fwmd"), "--work-port", std::to_string(work),
                                        "--nv-port", std::to_string(nv), "--root", root.dir,
                                        "--script", root.path(script)};
    };

    std::string out;
    ASSERT_EQ(korvtest::run_tool(fwmd("/good.scn"), &out, {}, 30000), 0) << out << korv.log();
    EXPECT_NE(out.find("pass   NV write"), std::string::npos) << out;
    EXPECT_NE(out.find("pass   voltage confirmed"), std::string::npos) << out;
    /* The end of the script closes the links korv holds: fwmd says what korv
     * will make of that. */
    EXPECT_NE(out.find("fwmd: closing the links; korv takes this as a lost link"), std::string::npos) << out;
    /* What korv did, seen on the root rather than through fwmd's own checks:
     * the two bytes at 0x100 over the file's (i*3) pattern, and the voltage. */
    std::string nvfile = root.read("/data/brimwell/wf_manager/waveform/LTEP2P/nvram_ltep2p.bin");
    ASSERT_EQ(nvfile.size(), 65536u);
    EXPECT_EQ(nvfile.substr(0xFF, 4), std::string("\xFD\xA5\x5A\x06", 4));
    EXPECT_TRUE(korvtest::wait_until([&] { return root.read("/sys/tarno/usim_voltage") == "4"; }, 5000));

    EXPECT_EQ(korvtest::run_tool(fwmd("/wrong.scn"), &out, {}, 30000), 1) << out;
    EXPECT_NE(out.find("FAIL   wrong voltage"), std::string::npos) << out;
}

}  // namespace
