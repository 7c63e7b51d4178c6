// The UTRAN service end to end: korv on a simulated phone, driven by fwmd's
// work messages; what comes out is the driver journal, the service property,
// the log and, for the AT time-out, korv's exception handling and exit.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "utran_test.h"

using namespace utrantest;

namespace {

const char *const SERVICE = "ril.start.utran.service";
const char *const AT_TIMEOUT = "radio.brimwell.at_timeout";

const std::string CREATE0 =
    "DMI_CREATE name=utran0 type=3 property=1 cp2ap=0x1000,4096,1 ap2cp=0x2000,4096,2 hs=8,1500,8,1500,5,6 = 0";
const std::string CREATE1 =
    "DMI_CREATE name=utran1 type=1 property=1 cp2ap=0x1100,4096,1 ap2cp=0x2100,4096,2 hs=0,0,0,0,0,0 = 0";
const std::string DELETE0 = "DMI_DELETE name=utran0 = 0";
const std::string DELETE1 = "DMI_DELETE name=utran1 = 0";

TEST(UtranE2e, StoredWhileStoppedThenStartStopStartAndTeardown) {
    korv_rig r;
    ASSERT_TRUE(r.up());

    ASSERT_EQ(r.send_header(two_bridges()), 0);
    ASSERT_TRUE(r.korv->wait_log("[KORV][UTRAN]load_utran_wave souce len:184"));
    EXPECT_EQ(r.count("[KORV][UTRAN]tag_"), 0);
    EXPECT_TRUE(r.dmi_journal().empty());
    EXPECT_EQ(r.root.prop(SERVICE), "");

    ASSERT_EQ(r.wf_type(1), 0);
    ASSERT_TRUE(r.prop_is(SERVICE, "1"));
    EXPECT_EQ(r.dmi_journal(), (std::vector<std::string>{CREATE0, CREATE1}));
    EXPECT_EQ(r.count("[KORV][UTRAN]tag_bridge"), 15 + 9);

    ASSERT_EQ(r.wf_type(2), 0);
    ASSERT_TRUE(r.journal_has(4));
    EXPECT_EQ(r.root.prop(SERVICE), "0");
    EXPECT_EQ(r.count("[KORV][UTRAN]tag_bridge"), 15 + 9 + 9 + 9);

    ASSERT_EQ(r.wf_type(1), 0);
    ASSERT_TRUE(r.journal_has(6));
    EXPECT_TRUE(r.prop_is(SERVICE, "1"));

    // Teardown stops the running service before korv exits.
    EXPECT_EQ(r.korv->stop(SIGTERM, 20000), 0);
    EXPECT_EQ(r.dmi_journal(), (std::vector<std::string>{CREATE0, CREATE1, DELETE0, DELETE1,
                                                        CREATE0, CREATE1, DELETE0, DELETE1}));
    EXPECT_EQ(r.root.prop(SERVICE), "0");
    std::string log = r.korv->log();
    size_t last_stop = log.rfind("[KORV][UTRAN]stop_utran_service");
    ASSERT_NE(last_stop, std::string::npos);
    EXPECT_NE(log.find("korvd exit", last_stop), std::string::npos);
}

TEST(UtranE2e, StartBeforeHeaderThenAtTimeoutEndsInRestart) {
    korv_rig r(props{{AT_TIMEOUT, "2"}});
    ASSERT_TRUE(r.up());

    ASSERT_EQ(r.wf_type(1), 0);
    ASSERT_TRUE(r.korv->wait_log("[KORV][UTRAN]start_utran_servcie"));
    ASSERT_EQ(r.send_header(two_bridges()), 0);
    ASSERT_TRUE(r.prop_is(SERVICE, "1"));
    // The start itself asked for nothing: the header's arrival made both.
    EXPECT_EQ(r.dmi_journal(), (std::vector<std::string>{CREATE0, CREATE1}));

    // "2" is no time-out; a few watch ticks pass over it.
    sleep(2);
    EXPECT_EQ(r.count("AT time out!"), 0);
    EXPECT_EQ(r.root.prop(AT_TIMEOUT), "2");

    r.root.set_prop(AT_TIMEOUT, "10");
    ASSERT_TRUE(r.korv->wait_log("[KORV][UTRAN]AT time out!"));
    EXPECT_TRUE(r.prop_is(AT_TIMEOUT, "0"));
    EXPECT_TRUE(r.expect(MWRX_WFMGR_MODEM_EXCEPTION_IND));
    EXPECT_EQ(r.korv->wait_exit(20000), 0);

    EXPECT_EQ(r.count("[KORV][UTRAN]AT time out!"), 1);
    EXPECT_EQ(r.count("kro_handle_modem_exception flag:"), 1);
    EXPECT_EQ(r.count("[KORV][WORK]: kro_handle_modem_exception flag:4,"), 1);
    EXPECT_EQ(r.dmi_journal(), (std::vector<std::string>{CREATE0, CREATE1, DELETE0, DELETE1,
                                                        "DMI_DELETE name=utran0 = -1 ENOENT",
                                                        "DMI_DELETE name=utran1 = -1 ENOENT"}));
}

}  // namespace
