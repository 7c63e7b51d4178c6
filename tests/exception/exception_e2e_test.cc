// Modem exception handling end to end: korv on a simulated phone with fwmd,
// a writer on the exception FIFO and a reader on the notification pty.  Each
// case lives through one exception up to korv's self-restart (or, with the
// reset switch off, through two), so each takes a few seconds: the UTRAN
// stop pauses on the way out.
#include <signal.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "../utran/utran_test.h"

using namespace utrantest;

namespace {

const std::string W = "[KORV][WORK]: ";

// What every completed reset ends with.
void expect_restarted(korv_rig &r) {
    EXPECT_EQ(r.korv->wait_exit(30000), 0);
    EXPECT_EQ(r.count("[KORV][WORK]killself successed!"), 1);
    EXPECT_EQ(r.root.prop("persist.sys.modem.exception"), "0");
    EXPECT_EQ(r.root.prop("ril.start.utran.service"), "0");
}

TEST(ExceptionE2e, DumpRecordOnTheChannel) {
    korv_rig r;
    ASSERT_TRUE(r.up());
    ASSERT_TRUE(r.open_ttyled());
    ASSERT_EQ(r.send_header(hdr().bridge("utran0", 1).end().bytes), 0);
    ASSERT_EQ(r.wf_type(1), 0);
    ASSERT_TRUE(r.journal_has(1));

    std::string rec = "noise" + soc_record(2, "payload");
    ASSERT_EQ(write(r.socbridge_w, rec.data(), rec.size()), (ssize_t)rec.size());
    std::string notes = r.read_notes(4);
    EXPECT_EQ(notes.substr(0, 4), note(1));
    EXPECT_TRUE(r.expect(MWRX_WFMGR_MODEM_EXCEPTION_IND));
    if (notes.size() < 8) notes += r.read_notes(8 - notes.size());
    EXPECT_EQ(notes, note(1) + note(2));
    expect_restarted(r);

    EXPECT_EQ(r.count("[KORV][FLOW] persist.sys.modem.exception= 1"), 1);
    EXPECT_EQ(r.count(W + "kro_handle_modem_exception flag:1, s_is_modem_reseting:0"), 1);
    EXPECT_EQ(r.count(W + "kro_handle_modem_exception close ret=0!"), 1);
    EXPECT_EQ(r.count("system(/system/bin/bw-dump -l 0 -r 1 &)"), 1);
    EXPECT_EQ(r.root.read("/dev/bw-dump.log"), "bw-dump -l 0 -r 1\n");
    std::vector<std::string> dmi = r.dmi_journal();
    ASSERT_GE(dmi.size(), 2u);
    EXPECT_EQ(dmi[1], "DMI_DELETE name=utran0 = 0");
}

TEST(ExceptionE2e, FrameworkRequestIgnoresFurtherExceptionsWhileDumping) {
    korv_rig r(props{{"sim.bwdump.never", "1"}});
    ASSERT_TRUE(r.up());
    ASSERT_TRUE(r.open_ttyled());

    ASSERT_EQ(r.fw_exception(), 0);
    ASSERT_TRUE(r.expect(MWRX_WFMGR_FW_EXCEPTION_CNF, 10000));
    ASSERT_TRUE(r.korv->wait_log("system(/system/bin/bw-dump -l 0 -r 1 &)"));

    // A second request is still confirmed, then ignored; so is a time-out,
    // which is consumed all the same.
    ASSERT_EQ(r.fw_exception(), 0);
    EXPECT_TRUE(r.expect(MWRX_WFMGR_FW_EXCEPTION_CNF, 10000));
    EXPECT_TRUE(r.korv->wait_log("kro_handle_modem_exception ignored for modem is reseting now flag:2"));
    r.root.set_prop("radio.brimwell.at_timeout", "1");
    EXPECT_TRUE(r.korv->wait_log("kro_handle_modem_exception ignored for modem is reseting now flag:4"));
    EXPECT_TRUE(r.prop_is("radio.brimwell.at_timeout", "0"));
    EXPECT_TRUE(r.korv->running());

    // The tool reports completion; the poll takes it from there.
    r.root.set_prop("persist.brimwell.dump.finish", "1");
    EXPECT_EQ(r.read_notes(4), note(2));
    expect_restarted(r);
    EXPECT_EQ(r.count("kro_handle_modem_exception flag:"), 1);
    EXPECT_EQ(r.count("[KORV][WORK]kro_on_modem_reset_completed, req_from_ap:2"), 1);
    EXPECT_FALSE(r.expect(MWRX_WFMGR_MODEM_EXCEPTION_IND, 0));
}

TEST(ExceptionE2e, LostFrameworkConnection) {
    korv_rig r;
    ASSERT_TRUE(r.up());
    fwmd_close_channel(r.fw, FWMD_NV);
    EXPECT_TRUE(r.expect(MWRX_WFMGR_MODEM_EXCEPTION_IND));
    expect_restarted(r);
    EXPECT_EQ(r.count(W + "kro_handle_modem_exception flag:4, s_is_modem_reseting:0"), 1);
    EXPECT_EQ(r.count("system(/system/bin/bw-dump -l 0 -r 1 &)"), 1);
}

TEST(ExceptionE2e, ResetSwitchOffKeepsKorvRunning) {
    korv_rig r(props{{"persist.sys.modem.reset", "0"}, {"persist.sys.modem.log", "1"}});
    ASSERT_TRUE(r.up());
    const std::string not_killself =
        "[KORV][WORK]kro_on_modem_exception, persist.sys.modem.reset is closed, not killself";

    ASSERT_EQ(r.fw_exception(), 0);
    ASSERT_TRUE(r.korv->wait_log(not_killself, 20000));
    EXPECT_EQ(r.count("system(/system/bin/bw-dump -l 1 -r 0 &)"), 1);
    namespace fs = std::filesystem;
    fs::path dumps = r.root.path("/data/brimwell/dump");
    EXPECT_TRUE(fs::exists(dumps) && !fs::is_empty(dumps));

    // Both switches off: handled again, but nothing is run or closed, and
    // the earlier finished dump decides at the first tick.
    r.root.set_prop("persist.sys.modem.log", "0");
    ASSERT_EQ(r.fw_exception(), 0);
    ASSERT_TRUE(r.korv->wait_log(not_killself, 20000, 2));
    EXPECT_EQ(r.count("kro_handle_modem_exception flag:2, s_is_modem_reseting:0"), 2);
    EXPECT_EQ(r.count("ignored for modem is reseting"), 0);
    EXPECT_EQ(r.count("at_modem_handle_exception exit! dump_switch:0, reset_switch:0"), 1);
    EXPECT_EQ(r.count("system("), 1);
    EXPECT_EQ(r.count("kro_handle_modem_exception s_fd_socbridge="), 1);
    EXPECT_TRUE(r.korv->running());
    EXPECT_EQ(r.korv->stop(SIGTERM, 20000), 0);
}

}  // namespace
