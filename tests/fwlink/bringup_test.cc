// Bring-up and teardown of the real korv on a simulated phone: driver request
// order, companion services, amt mode, a failing NVRAM store, and SIGTERM.
#include <gtest/gtest.h>
#include <unistd.h>

#include "harness.h"

using namespace korvtest;
using lines = std::vector<std::string>;

static const char *kSuccess = "[KORV][FLOW]: Initialization ril l2k successful!";

static int journal_at(const sim_root &root, const std::string &prefix) {
    lines journal = root.journal();
    for (size_t i = 0; i < journal.size(); i++)
        if (journal[i].rfind(prefix, 0) == 0) return (int)i;
    return -1;
}

TEST(Bringup, ComesUpInOrderAndSigtermTearsDown) {
    sim_root root;
    root.set_prop("init.svc.mwrx-amt", "running");
    root.set_prop("sim.wcs.dmi_selftest", "1");  // libwcs drives the table it got
    korv_proc korv(root);
    ASSERT_TRUE(korv.wait_log(kSuccess, 10000));
    ASSERT_TRUE(wait_until([&] { return !root.prop("sim.wcs.selftest").empty(); }, 5000));
    EXPECT_EQ(root.prop("sim.wcs.init"), "mode=0 tag=1 ops=ok");
    EXPECT_EQ(root.prop("sim.wcs.selftest"), "create=0 hs_create=0 delete=0,0");

    int cache = journal_at(root, "NVRAM_CACHE_INFO"), reset = journal_at(root, "RESET");
    ASSERT_GE(cache, 0);
    EXPECT_LT(cache, reset);
    EXPECT_LT(reset, journal_at(root, "EXT_INFO id=6"));
    EXPECT_LT(journal_at(root, "EXT_INFO id=6"), journal_at(root, "RUN"));
    EXPECT_EQ(root.ctl_log(), (lines{"ctl.start waveform-manager", "ctl.restart mwrx-amt",
                                     "ctl.start log-ctrl-manager"}));

    ASSERT_TRUE(korv.wait_log("korv main thread begin to sleep", 30000));
    EXPECT_EQ("1\n", root.read("/sys/kernel/boot_adsp/boot"));
    EXPECT_EQ(1, korv.count("pub_util_raise_process_priority  entering"));
    const pid_t pid = korv.pid;
    EXPECT_EQ(korv.stop(15), 0);
    lines ctl = root.ctl_log();
    ASSERT_GE(ctl.size(), 3u);
    EXPECT_EQ(lines(ctl.begin() + 3, ctl.end()),
              (lines{"ctl.stop waveform-manager", "ctl.stop mwrx-amt", "ctl.stop log-ctrl-manager",
                     "ctl.stop cp-log-ctrl"}));
    EXPECT_EQ(root.prop("sim.wcs.deinit"), "1");
    EXPECT_EQ(korv.count("hqsd receive signal 15\n"), 1);
    EXPECT_EQ(korv.count("signal->_sifields._kill._pid  = " + std::to_string(getpid()) +
                         ", real_pid = " + std::to_string(pid) + "\n"),
              1);
    EXPECT_EQ(korv.count("korvd exit\n"), 1);
}

// Amt mode calls the helper once; a failing NVRAM store stops bring-up
// before any connection.  Neither starts a companion service.
TEST(Bringup, AmtModeAndAFailingNvramStoreStartNoService) {
    sim_root amt, failing;
    amt.set_prop("sys.bw.amtmode", "1");
    failing.write("/dev/modem.conf", "fail = 0x4D01\n");
    korv_proc korv(amt), stopped(failing);
    ASSERT_TRUE(korv.wait_log(kSuccess, 10000));
    EXPECT_EQ(amt.prop("sim.amt.calls"), "1");
    EXPECT_EQ(korv.count("stop call amt_write_encrypt_test. return value:"), 1);
    EXPECT_TRUE(amt.ctl_log().empty());

    ASSERT_TRUE(stopped.wait_log("korv main thread begin to sleep", 10000));
    EXPECT_EQ(stopped.count("[KORV][FLOW]: NVRAM manager init failure!"), 1);
    EXPECT_EQ(stopped.count(kSuccess), 0);
    EXPECT_EQ(stopped.count("set_fwsocket_event"), 0);
    EXPECT_TRUE(failing.ctl_log().empty());
}
