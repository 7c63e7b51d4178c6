/* Floods on every input: korv gets through everything in order with bounded
 * memory, threads and descriptors.  The memory bound is generous: under
 * AddressSanitizer freed memory is held back a while. */
#include <gtest/gtest.h>

#include "hostile_rig.h"

using namespace hostile;

namespace {

const long RSS_BOUND_KB = 64 * 1024;

bool socbridge_drained(rig &r) {
    return korvtest::wait_until([&] { return r.socbridge_pending() == 0; }, 60000);
}

TEST(HostileFlood, ExceptionChannelKeepsBeingRead) {
    /* no reset, a dump already reported: korv handles the dump at the end and stays */
    rig r(props{{"persist.sys.modem.reset", "0"}, {"persist.brimwell.dump.finish", "1"}});
    ASSERT_TRUE(r.up());
    const long rss0 = r.rss_kb(), threads0 = r.threads();
    const int fds0 = r.open_fds();

    /* Junk without an "M" (so no marker) around type-1 records claiming 4 GiB. */
    std::mt19937 rng(7);
    std::string flood;
    int records = 0;
    while (flood.size() < 512 * 1024) {
        std::string junk = random_bytes(rng, rng() % 300);
        for (char &c : junk)
            if (c == 'M') c = 'm';
        flood += junk + soc_record(1, junk.substr(0, 8), 0xFFFFFFFF);
        records++;
    }
    ASSERT_TRUE(r.feed_socbridge(flood));
    ASSERT_TRUE(socbridge_drained(r));
    EXPECT_EQ(r.root.prop("persist.sys.modem.exception"), "0");
    EXPECT_EQ(r.count(EXC_CLAIMED), 0);
    EXPECT_GT(r.count("[KORV][FLOW]not modem dump message, continue!"), records / 2);

    /* Bytes without a marker work off held records; then a dump record alone. */
    ASSERT_TRUE(r.feed_socbridge(std::string(64 * 1024, 'z')));
    ASSERT_TRUE(socbridge_drained(r));
    ASSERT_TRUE(r.feed_socbridge(soc_record(2, "dump")));
    EXPECT_TRUE(korvtest::wait_until([&] { return r.root.prop("persist.sys.modem.exception") == "1"; }, 15000));
    EXPECT_TRUE(r.korv->wait_log("persist.sys.modem.reset is closed, not killself", 15000));
    EXPECT_EQ(r.count(std::string(EXC_CLAIMED) + "1, s_is_modem_reseting:0"), 1);
    EXPECT_TRUE(korvtest::wait_until([&] { return r.threads() <= threads0; }, 15000))
        << "threads: " << r.threads() << " after, " << threads0 << " before";

    expect_clean(r);
    EXPECT_LT(r.rss_kb() - rss0, RSS_BOUND_KB + r.rss_slack_kb());
    EXPECT_LE(r.open_fds(), fds0);
}

/* Eight bytes that say which indication and entry wrote them. */
std::string stamp(int msg, int entry) {
    std::string s = "m....e..";
    s[1] = static_cast<char>(msg & 0xff);
    s[2] = static_cast<char>(msg >> 8);
    s[6] = static_cast<char>(entry);
    return s;
}

TEST(HostileFlood, NvAndWorkChannelsGetThroughEverything) {
    rig r;
    ASSERT_TRUE(r.up());
    const std::string nv_file = UTRAN_DIR + "nvram_utran.bin";
    std::string want_nv = r.root.read(nv_file), want_ma = r.root.read(MA_FILE);
    ASSERT_EQ(r.send(FWMD_NV, MWRX_WFMGR_COMM_PATH_INFO_IND, path_info(7, UTRAN_DIR, "nvram_utran.bin")), 0);
    ASSERT_TRUE(r.nv_alive());
    const long rss0 = r.rss_kb(), threads0 = r.threads();
    const int fds0 = r.open_fds();

    /* 200 full records of 41 entries: eight times the writer's queue.  Most
     * go to MA, a few to a waveform file (each one an open, which churns the
     * allocator); both wrap round, so the later write must win. */
    const int msgs = 200, entries = 41, to_file = 5;
    for (int m = 0; m < msgs; m++) {
        fwmd_body b;
        b.u32(entries);
        for (int e = 0; e < entries; e++) {
            const bool file = e < to_file;
            const uint32_t slot = file ? m * to_file + e : m * (entries - to_file) + (e - to_file);
            const uint32_t off = slot * 8 % (file ? 4096 : 32768);
            nv_entry(b, file ? 7 : 0xFFFFFFFF, off, stamp(m, e));
            (file ? want_nv : want_ma).replace(off, 8, stamp(m, e));
        }
        ASSERT_EQ(b.bytes.size(), 988u);
        ASSERT_EQ(r.send(FWMD_NV, MWRX_WFMGR_NV_MODIFY_IND, b), 0);
    }
    /* 200 SIM voltage requests at once, a thread each. */
    const int volts = 200;
    for (int i = 0; i < volts; i++)
        ASSERT_EQ(r.send(FWMD_WORK, MWRX_WF_CARD_POWERON_REPORT_REQ,
                         fwmd_body().u8(static_cast<uint8_t>(i % 2)).u8(static_cast<uint8_t>(i % 10))),
                  0);
    int cnfs = 0;
    while (cnfs < volts && r.next(FWMD_WORK, MWRX_WF_CARD_POWERON_REPORT_CNF).msg_cmd != 0) cnfs++;
    EXPECT_EQ(cnfs, volts);
    ASSERT_TRUE(r.nv_alive());
    EXPECT_TRUE(korvtest::wait_until(
        [&] { return r.root.read(nv_file) == want_nv && r.root.read(MA_FILE) == want_ma; }, 60000))
        << "the writer lost or reordered NV writes";
    EXPECT_EQ(r.count("man_nvram_entry: NVRAM_MODIFY_IND msg_ptr="), msgs * entries);
    EXPECT_TRUE(korvtest::wait_until([&] { return r.threads() <= threads0; }, 15000))
        << "threads: " << r.threads() << " after, " << threads0 << " before";

    expect_clean(r);
    EXPECT_LT(r.rss_kb() - rss0, RSS_BOUND_KB + r.rss_slack_kb());
    /* plus the NV tree's descriptor, which the first path check opens and
     * keeps for the process's life */
    EXPECT_LE(r.open_fds(), fds0 + 1);
}

}  // namespace
