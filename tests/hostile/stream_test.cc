/* A hostile peer on the framework links, one scenario per test: random
 * records, oversized records, lying lengths and counts, a record trickled
 * in byte by byte. */
#include <gtest/gtest.h>

#include "hostile_rig.h"

using namespace hostile;

namespace {

/* count records of random bytes, then count honest headers over random
 * bodies with codes from cmds. */
std::string garbage(std::mt19937 &rng, int count, const std::vector<uint32_t> &cmds) {
    std::string burst;
    for (int i = 0; i < count; i++) burst += frame(random_bytes(rng, rng() % 1025));
    for (int i = 0; i < count; i++)
        burst += frame(honest(cmds[i % cmds.size()], random_bytes(rng, rng() % 989)));
    return burst;
}

/* An image header of random tags around the known ids, now and then with
 * a size of zero or far too large (which ends the header). */
std::string random_header(std::mt19937 &rng) {
    std::string h;
    while (h.size() < 600) {
        const uint32_t id = 0x54410001u + rng() % 8;
        if (rng() % 16 == 0) {
            const uint32_t size = rng() % 2 ? 0 : rng();
            return h + body_bytes(fwmd_body().u32(size).u32(id)) + random_bytes(rng, 12);
        }
        const uint32_t size = 20 + rng() % 100;
        h += body_bytes(fwmd_body().u32(size).u32(id)) + random_bytes(rng, size - 8);
    }
    return h;
}

bool link_closed(rig &r, int channel) {
    return korvtest::wait_until([&] { return fwmd_connected(r.fw, channel) == 0; }, 15000);
}

const int N = 150; /* records of each kind in a garbage burst */

/* Reset switch off: korv stays up after the exception a closed link starts. */
const props RESET_OFF = {{"persist.sys.modem.reset", "0"}};

/* Work first, then NV: each link fed garbage, then closed by a record it can
 * never complete, while the other link stays up. */
TEST(HostileStream, GarbageIsSurvivedAndAnUnreadableRecordClosesOnlyItsLink) {
    rig r(RESET_OFF);
    ASSERT_TRUE(r.up());
    const std::string ma = r.root.read(MA_FILE);
    const long rss0 = r.rss_kb();
    const int fds0 = r.open_fds();
    std::mt19937 rng(20240502);
    const std::string efbig = "[KORV][FLOW]error on reading command socket errno:27\n";

    ASSERT_EQ(r.send_raw(FWMD_WORK,
                         garbage(rng, N,
                                 {MWRX_WF_CARD_POWERON_REPORT_REQ, MWRX_WFMGR_WFCFG_IND,
                                  MWRX_WFMGR_FW_EXCEPTION_REQ, MWRX_WFMGR_KORGR_WF_TYPE_IND,
                                  MWRX_WFMGR_TEST_EXCPTINFO_REQ, MWRX_WFMGR_MODEM_EXCEPTION_IND,
                                  0x0BADC0DEu})),
              0);
    /* Random image headers walked by a running UTRAN service. */
    ASSERT_EQ(r.send(FWMD_WORK, MWRX_WFMGR_KORGR_WF_TYPE_IND, fwmd_body().u32(1).u32(1)), 0);
    for (int i = 0; i < 60; i++) {
        const std::string h = random_header(rng);
        ASSERT_EQ(r.send(FWMD_WORK, MWRX_WFMGR_WFCFG_IND,
                         fwmd_body().u32(static_cast<uint32_t>(h.size())).raw(h.data(), h.size()).u32(0)),
                  0);
    }
    ASSERT_TRUE(r.work_alive());
    EXPECT_EQ(r.count("[KORV][UTRAN]load_utran_wave souce len:"), 60);
    EXPECT_EQ(r.root.prop("ril.start.utran.service"), "1");
    EXPECT_GT(r.count("[KORV][UTRAN]tag_bridge name:"), 0); /* the walks went deep */
    /* Plain random bytes; the first one makes the frame length huge. */
    std::string junk = random_bytes(rng, 4096);
    junk[0] = '\x7f';
    r.send_raw(FWMD_WORK, junk);
    ASSERT_TRUE(link_closed(r, FWMD_WORK));
    /* The garbage's exception requests claimed the handling first. */
    ASSERT_TRUE(r.korv->wait_log(std::string(EXC_IGNORED) + "4"));
    EXPECT_EQ(r.count(efbig), 1);
    EXPECT_EQ(r.count("[AOS][MSG]: parse_sca_header: "), N);
    /* the honest ones, the UTRAN start and headers, the probe */
    EXPECT_EQ(r.count("header: [len:"), N + 61 + 1);
    /* two lines for each work record read, one for each without a header */
    EXPECT_EQ(r.count("[KORV][WORK]socket_event fd:"), 2 * (N + 61 + 1) + N);
    EXPECT_EQ(r.count(EXC_CLAIMED), 1);
    EXPECT_TRUE(fwmd_connected(r.fw, FWMD_NV)) << "the NV link went down with the work link";

    rng.seed(20240501);
    ASSERT_EQ(r.send_raw(FWMD_NV, garbage(rng, N,
                                          {MWRX_WFMGR_COMM_PATH_INFO_IND, MWRX_WFMGR_NV_MODIFY_IND,
                                           MWRX_WFMGR_LOAD_REQ, MWRX_WFMGR_LOAD_CNF, 0x12345678u})),
              0);
    ASSERT_TRUE(r.nv_alive());
    /* A frame of 1025 bytes can never be completed: the stream fails. */
    r.send_raw(FWMD_NV, std::string("\x00\x00\x04\x01", 4) + std::string(1025, 'A'));
    ASSERT_TRUE(link_closed(r, FWMD_NV));
    ASSERT_TRUE(r.korv->wait_log(std::string(EXC_IGNORED) + "4", 15000, 2));
    EXPECT_EQ(r.count(efbig), 2);
    EXPECT_EQ(r.count("[AOS][MSG]: parse_sca_header: "), 2 * N);
    EXPECT_EQ(r.count("header: [len:"), N + 61 + 1 + N + 1); /* and NV's honest ones and probe */
    EXPECT_TRUE(r.root.read(MA_FILE) == ma) << "random NV records reached MA";
    expect_clean(r);
    EXPECT_LE(r.open_fds(), fds0 - 2); /* both sockets gone, nothing else left open */
    EXPECT_LT(r.rss_kb() - rss0, 64 * 1024 + r.rss_slack_kb());
}

const uint64_t ALL = ~0ull;

/* One rig (default switches: an exception let through would end korv), three
 * kinds of liar in turn; the counts are checked after each. */
TEST(HostileStream, LyingLengthsAndCountsAreDroppedOrRefused) {
    rig r;
    ASSERT_TRUE(r.up());
    const std::string ma = r.root.read(MA_FILE);
    const uint32_t EXC = MWRX_WFMGR_FW_EXCEPTION_REQ;

    /* Work: exception requests whose len or body_len do not match the record. */
    const std::vector<std::string> work_liars = {
        message(37, 0, EXC, ""),        message(35, 0, EXC, ""),
        message(36, 1, EXC, ""),        message(40, 0, EXC, "abcd"),
        message(40, 8, EXC, "abcd"),    message(ALL, 0, EXC, ""),
        message(36, ALL, EXC, ""),      message(0, 0, EXC, ""),
        message(36, 0, EXC, "").substr(0, 35), /* shorter than a header */
        "",                                    /* an empty record */
    };
    std::string burst;
    for (const auto &m : work_liars) burst += frame(m);
    ASSERT_EQ(r.send_raw(FWMD_WORK, burst), 0);
    ASSERT_TRUE(r.work_alive());
    EXPECT_EQ(r.next(FWMD_WORK, MWRX_WFMGR_FW_EXCEPTION_CNF, 0).msg_cmd, 0u) << "a lying work record was answered";
    EXPECT_EQ(r.count(EXC_CLAIMED), 0) << "a lying work record was acted on";
    EXPECT_EQ(r.count("has no header, dropped"), (int)work_liars.size());
    EXPECT_EQ(r.count("bad header len:"), 8) << "work: the liars of 36 bytes or more";

    /* NV: records that would be carried out had their headers told the truth. */
    const std::string pi = body_bytes(path_info(21, UTRAN_DIR, "nvram_utran.bin"));
    fwmd_body ma_write;
    nv_entry(ma_write.u32(1), 0xFFFFFFFF, 16, "LIES");
    const std::string mw = body_bytes(ma_write);
    ASSERT_EQ(r.send_raw(FWMD_NV, frame(message(36 + pi.size(), pi.size() - 1, MWRX_WFMGR_COMM_PATH_INFO_IND, pi)) +
                                      frame(message(36 + mw.size() + 1, mw.size(), MWRX_WFMGR_NV_MODIFY_IND, mw)) +
                                      frame(message(36 + mw.size(), ALL, MWRX_WFMGR_NV_MODIFY_IND, mw))),
              0);
    ASSERT_EQ(r.send(FWMD_NV, MWRX_WFMGR_LOAD_REQ, load_req(16, 0, 0x600000, 0, 5, "u.bin"), 21), 0);
    fwmd_msg cnf = r.next(FWMD_NV, MWRX_WFMGR_LOAD_CNF);
    EXPECT_EQ(cnf.wf_id, 21u);
    EXPECT_EQ(load_count(cnf), 0u) << "the path record whose header lied was stored";
    ASSERT_TRUE(r.nv_alive());
    EXPECT_EQ(r.count("bad header len:"), 8 + 3) << "NV: the three liars";

    /* Honest headers over bodies whose counts lie. */
    ASSERT_EQ(r.send(FWMD_WORK, MWRX_WFMGR_WFCFG_IND, fwmd_body().u32(13).chars("", 16)), 0);
    ASSERT_EQ(r.send(FWMD_WORK, MWRX_WF_CARD_POWERON_REPORT_REQ, fwmd_body().u8(0)), 0);
    ASSERT_EQ(r.send(FWMD_NV, MWRX_WFMGR_COMM_PATH_INFO_IND, fwmd_body().u32(1).u32(22).chars("wf", 64)), 0);
    fwmd_body long_entry;
    long_entry.u32(1).u32(0).u32(0xFFFFFFFF).u32(16).u32(100).raw("LIES", 4);
    ASSERT_EQ(r.send(FWMD_NV, MWRX_WFMGR_NV_MODIFY_IND, long_entry), 0);
    ASSERT_EQ(r.send(FWMD_NV, MWRX_WFMGR_LOAD_REQ, load_req(16, 0, 0x600000, 0, 40, "u.bin"), 7), 0);
    cnf = r.next(FWMD_NV, MWRX_WFMGR_LOAD_CNF);
    EXPECT_EQ(cnf.wf_id, 7u);
    EXPECT_EQ(load_count(cnf), 0u);
    ASSERT_TRUE(r.work_alive());
    ASSERT_TRUE(r.nv_alive());
    /* No image stored, no voltage written or confirmed, nothing in MA. */
    EXPECT_EQ(r.count("load_utran_wave souce len:"), 0);
    EXPECT_EQ(r.next(FWMD_WORK, MWRX_WF_CARD_POWERON_REPORT_CNF, 0).msg_cmd, 0u);
    EXPECT_EQ(r.root.read("/sys/tarno/usim_voltage"), "");
    EXPECT_TRUE(r.root.read(MA_FILE) == ma) << "a lying NV record reached MA";
    /* The effects above may lag behind the threads; the drops are logged at once. */
    EXPECT_EQ(r.count("REPORT_REQ without voltage type dropped"), 1);
    EXPECT_EQ(r.count("NVRAM_MODIFY_IND[0] body ends before its data, dropped"), 1);
    EXPECT_EQ(r.count("MWRX_WFMGR_COMM_PATH_INFO_IND body too short, wf_id=22 not stored"), 1);
    EXPECT_EQ(r.count("MWRX_WFMGR_LOAD_REQ body ends early, refused"), 1);
    expect_clean(r);
}

TEST(HostileStream, ARecordTrickledInHoldsUpNoOtherChannel) {
    rig r;
    ASSERT_TRUE(r.up());
    const std::string load = frame(honest(MWRX_WFMGR_COMM_PATH_INFO_IND,
                                          body_bytes(path_info(23, UTRAN_DIR, "nvram_utran.bin")))) +
                             frame(honest(MWRX_WFMGR_LOAD_REQ,
                                          body_bytes(load_req(64, 0, 0x601000, 0, 5, "u.bin")), 23));
    ASSERT_EQ(r.send_raw(FWMD_NV, load.substr(0, 3)), 0);
    ASSERT_TRUE(r.work_alive());
    for (size_t i = 3; i < load.size(); i++) ASSERT_EQ(r.send_raw(FWMD_NV, load.substr(i, 1)), 0);
    fwmd_msg cnf = r.next(FWMD_NV, MWRX_WFMGR_LOAD_CNF);
    EXPECT_EQ(cnf.wf_id, 23u);
    EXPECT_EQ(load_count(cnf), 64u);
    EXPECT_TRUE(read_range(r.root.path("/dev/modem"), 0x601000, 64) ==
                r.root.read(UTRAN_DIR + "u.bin").substr(0, 64));
    expect_clean(r);
}

}  // namespace
