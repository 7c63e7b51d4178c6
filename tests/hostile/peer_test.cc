/* Peers that misbehave over time: a framework that comes and goes, and a
 * dump tool that never reports completion. */
#include <signal.h>

#include <gtest/gtest.h>

#include "hostile_rig.h"

using namespace hostile;

namespace {

TEST(HostilePeer, FrameworkThatComesAndGoes) {
    const int work_port = korvtest::free_port(), nv_port = korvtest::free_port();
    rig r(props{{"persist.sys.modem.reset", "0"}}, work_port, nv_port);
    ASSERT_TRUE(r.up());

    /* Whoever listens first gets korv; each round the listener goes away. */
    for (int round = 0; round < 4; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        fwmd_server *fw = fwmd_start(work_port, nv_port);
        ASSERT_NE(fw, nullptr);
        if (round == 0) {
            EXPECT_EQ(fwmd_wait_connected(fw, FWMD_WORK, 15000), 0);
            EXPECT_EQ(fwmd_wait_connected(fw, FWMD_NV, 15000), 0);
        } else {
            /* korv retries every 500 ms, but never a link it gave up */
            EXPECT_NE(fwmd_wait_connected(fw, FWMD_WORK, 1500), 0);
            EXPECT_EQ(fwmd_connection_count(fw, FWMD_NV), 0u);
        }
        fwmd_stop(fw);
    }
    ASSERT_TRUE(r.korv->wait_log(std::string(EXC_IGNORED) + "4"));

    EXPECT_EQ(r.count("[KORV][FLOW]EOS.  Closing command socket.\n"), 2);
    EXPECT_EQ(r.count(std::string(EXC_CLAIMED) + "4, s_is_modem_reseting:0"), 1);
    EXPECT_EQ(r.count(EXC_CLAIMED), 1);
    EXPECT_EQ(r.count(EXC_IGNORED), 1);
    EXPECT_EQ(r.count("[KORV][FLOW]connected to fw service with port:"), 2);
    expect_clean(r);
}

TEST(HostilePeer, DumpToolThatNeverFinishes) {
    rig r(props{{"sim.bwdump.never", "1"}});
    ASSERT_TRUE(r.up());

    /* a reader left blocked on the exception channel */
    ASSERT_TRUE(r.feed_socbridge(std::string(40, 'x')));
    ASSERT_TRUE(r.korv->wait_log("[KORV][FLOW] start read socbridge fd:", 15000, 2));

    ASSERT_EQ(r.send(FWMD_WORK, MWRX_WFMGR_FW_EXCEPTION_REQ, fwmd_body()), 0);
    EXPECT_EQ(r.next(FWMD_WORK, MWRX_WFMGR_FW_EXCEPTION_CNF).msg_cmd, MWRX_WFMGR_FW_EXCEPTION_CNF);
    ASSERT_TRUE(r.korv->wait_log("system(/system/bin/bw-dump -l 0 -r 1 &)"));
    ASSERT_TRUE(r.korv->wait_log(POLL_TICK, 15000, 20));
    const long rss = r.rss_kb(), threads = r.threads();
    const int fds = r.open_fds();

    /* The channel is closed now: the blocked reader reads no further. */
    ASSERT_TRUE(r.feed_socbridge(std::string(40, 'y')));
    ASSERT_TRUE(r.korv->wait_log("79 79 79"));
    ASSERT_TRUE(r.feed_socbridge("noise" + soc_record(2, "dump")));

    /* a lost link is ignored, the work channel still served */
    fwmd_close_channel(r.fw, FWMD_NV);
    ASSERT_TRUE(r.korv->wait_log(std::string(EXC_IGNORED) + "4", 15000));
    EXPECT_TRUE(r.work_alive());
    ASSERT_TRUE(r.korv->wait_log(POLL_TICK, 30000, 60));

    EXPECT_EQ(r.count(EXC_CLAIMED), 1);
    EXPECT_EQ(r.count(EXC_IGNORED), 1);
    EXPECT_EQ(r.count("[KORV][FLOW] read modem exception indication error"), 0)
        << "korv read a descriptor it had closed";
    EXPECT_EQ(r.count("closed meanwhile, reader ends"), 1);
    EXPECT_EQ(r.count("get_soc_record"), 0);
    EXPECT_EQ(r.root.prop("persist.sys.modem.exception"), "0");
    EXPECT_EQ(r.root.prop("persist.brimwell.dump.finish"), "0");
    EXPECT_EQ(r.count("killself"), 0);
    expect_clean(r);
    EXPECT_LT(r.rss_kb() - rss, 32 * 1024 + r.rss_slack_kb());
    EXPECT_LE(r.threads(), threads);
    EXPECT_LE(r.open_fds(), fds - 1); /* the NV socket */

    /* Stopping still goes through the exit handler. */
    EXPECT_EQ(r.korv->stop(SIGTERM, 20000), 0);
    EXPECT_EQ(r.count("korvd exit\n"), 1);
}

}  // namespace
