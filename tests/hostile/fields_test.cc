/* Hostile field values in well-framed messages: all-ones counts and
 * lengths, text fields, names and paths at and past every limit. */
#include <filesystem>

#include <gtest/gtest.h>

#include "hostile_rig.h"

using namespace hostile;

namespace {

const uint32_t ONES = 0xFFFFFFFFu;

std::string pattern(size_t n, unsigned mul, unsigned add) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) s[i] = static_cast<char>((i * mul + add) & 0xff);
    return s;
}

struct load_case {
    uint64_t wf_id;
    fwmd_body body;
    uint32_t count; /* the confirmation's byte count */
};

/* Sends the loads and checks their confirmations, which come in order. */
void expect_loads(rig &r, const std::vector<load_case> &loads) {
    for (const load_case &l : loads) ASSERT_EQ(r.send(FWMD_NV, MWRX_WFMGR_LOAD_REQ, l.body, l.wf_id), 0);
    for (size_t i = 0; i < loads.size(); i++) {
        SCOPED_TRACE("load " + std::to_string(i));
        fwmd_msg cnf = r.next(FWMD_NV, MWRX_WFMGR_LOAD_CNF);
        ASSERT_EQ(cnf.msg_cmd, MWRX_WFMGR_LOAD_CNF);
        EXPECT_EQ(cnf.wf_id, loads[i].wf_id);
        EXPECT_EQ(load_count(cnf), loads[i].count);
    }
}

TEST(HostileFields, AllOnesCountsAndLengths) {
    rig r;
    ASSERT_TRUE(r.up());
    std::string ma = r.root.read(MA_FILE);
    const std::string utran_nv = r.root.read(UTRAN_DIR + "nvram_utran.bin");
    const std::string modem = r.root.path("/dev/modem");
    std::error_code ec;
    const auto modem_size = std::filesystem::file_size(modem, ec);

    ASSERT_EQ(r.send(FWMD_NV, MWRX_WFMGR_COMM_PATH_INFO_IND, path_info(7, UTRAN_DIR, "nvram_utran.bin")), 0);
    ASSERT_EQ(r.send(FWMD_NV, MWRX_WFMGR_COMM_PATH_INFO_IND, path_info(8, LTEP2P_DIR, "nvram_ltep2p.bin")), 0);
    /* A count beyond the body: the one entry there is written.  A length
     * beyond the body: the entry is dropped. */
    fwmd_body many, long_len;
    nv_entry(many.u32(ONES), ONES, 16, "ABCD");
    long_len.u32(1).u32(0).u32(7).u32(0).u32(ONES).raw("xy", 2);
    ASSERT_EQ(r.send(FWMD_NV, MWRX_WFMGR_NV_MODIFY_IND, many), 0);
    ASSERT_EQ(r.send(FWMD_NV, MWRX_WFMGR_NV_MODIFY_IND, long_len), 0);
    /* Removal of a wf_id nobody has: waveforms 7 and 8 stay described. */
    ASSERT_EQ(r.send(FWMD_NV, MWRX_WFMGR_COMM_PATH_INFO_IND, fwmd_body().u32(ONES).u32(ONES)), 0);

    /* The name length is judged once the body holds a whole name field. */
    std::string padded = "l.bin";
    padded.resize(64, '\0');
    expect_loads(r, {
        {8, load_req(64, 0, 0x500000, 0, ONES, padded), 0},   /* name length */
        {8, load_req(ONES, 0, 0x501000, 0, 5, "l.bin"), 0},   /* bytes to copy */
        {8, load_req(64, ONES, 0x502000, 0, 5, "l.bin"), 0},  /* file position */
        {8, load_req(64, 0, ONES, 0, 5, "l.bin"), 0},         /* destination */
        {7, load_req(0, 0, 0x503000, ONES, 6, "u_auth"), 0},  /* driver length, no such file */
        {ONES, load_req(64, 0, 0x504000, 0, 5, "l.bin"), 0},  /* waveform */
        {~0ull, load_req(64, 0, 0x504000, 0, 5, "l.bin"), 0}, /* waveform, 64 bits */
        {8, load_req(64, 0, 0x505000, 0, 5, "l.bin"), 64},    /* the same load, sound */
    });

    ASSERT_EQ(r.send(FWMD_WORK, MWRX_WFMGR_WFCFG_IND, fwmd_body().u32(ONES).u32(0)), 0);
    ASSERT_EQ(r.send(FWMD_WORK, MWRX_WFMGR_KORGR_WF_TYPE_IND, fwmd_body().u32(ONES).u32(ONES)), 0);
    for (uint8_t card : {0xFF, 0x00})
        ASSERT_EQ(r.send(FWMD_WORK, MWRX_WF_CARD_POWERON_REPORT_REQ, fwmd_body().u8(card).u8(0xFF)), 0);
    for (int i = 0; i < 2; i++)
        EXPECT_EQ(r.next(FWMD_WORK, MWRX_WF_CARD_POWERON_REPORT_CNF).msg_cmd, MWRX_WF_CARD_POWERON_REPORT_CNF);
    ASSERT_TRUE(r.work_alive());

    /* the writer works behind the looper */
    ma.replace(16, 4, "ABCD");
    EXPECT_TRUE(korvtest::wait_until([&] { return r.root.read(MA_FILE) == ma; }, 15000));
    EXPECT_TRUE(r.root.read(UTRAN_DIR + "nvram_utran.bin") == utran_nv);
    EXPECT_EQ(r.count("MWRX_WFMGR_NV_MODIFY_IND body ends after 1 of 4294967295 entries"), 1);
    EXPECT_EQ(r.count("NVRAM_MODIFY_IND[0] body ends before its data, dropped"), 1);
    EXPECT_EQ(r.count("MWRX_WFMGR_LOAD_REQ file name over 63 characters, refused"), 1);
    EXPECT_EQ(r.count("MWRX_WFMGR_LOAD_REQ mmap errno 6 - "), 2); /* bytes to copy, destination */
    EXPECT_EQ(r.count("MWRX_WFMGR_LOAD_REQ no path info for wf_id=-1"), 2);
    /* No file-length line for an all-ones length the file cannot be measured against. */
    EXPECT_EQ(r.count(":to load wf bins:file len error:"), 0);
    const std::string journal = r.root.read("/dev/modem.log");
    EXPECT_NE(journal.find("WF_BIN_LOAD path=" + UTRAN_DIR + "u_auth dst=0x503000 len=4294967295 = -1 ENOENT"),
              std::string::npos);
    EXPECT_EQ(std::filesystem::file_size(modem, ec), modem_size) << "a load wrote past the end of modem memory";
    for (long dst : {0x500000L, 0x501000L, 0x502000L, 0x503000L, 0x504000L})
        EXPECT_EQ(read_range(modem, dst, 64), std::string(64, '\0')) << std::hex << dst;
    EXPECT_TRUE(read_range(modem, 0x505000, 64) == r.root.read(LTEP2P_DIR + "l.bin").substr(0, 64));

    EXPECT_EQ(r.count("[KORV]MWRX_WFMGR_WFCFG_IND size:-1 should not bigger than body length 0\n"), 1);
    EXPECT_EQ(r.count("[KORV][UTRAN]start_utran_servcie"), 0);
    EXPECT_EQ(r.count("[KORV][WORK]open /sys/tarno/usim_voltage fail!\n"), 1);
    EXPECT_EQ(r.root.read("/sys/tarno/usim_voltage"), "2"); /* 255: its first digit */
    EXPECT_EQ(r.count(EXC_CLAIMED), 0);
    expect_clean(r);
}

TEST(HostileFields, NamesAndPathsAtTheirLimits) {
    rig r;
    /* 127 characters: a full 128-byte field cut by one. */
    const std::string dir = "/data/brimwell/" + std::string(111, 'p') + "/"; /* 127 characters */
    ASSERT_EQ(dir.size(), 127u);
    const std::string nv63(63, 'n'), bin63(63, 'b');
    const std::string image = pattern(4096, 31, 7);
    r.root.write(dir + nv63, std::string(64, '\0'));
    for (const std::string &name : {bin63, bin63 + "c", bin63 + "cc"}) r.root.write(dir + name, image);
    ASSERT_TRUE(r.up());

    /* Text fields full and without a NUL each lose their last character. */
    ASSERT_EQ(r.send(FWMD_NV, MWRX_WFMGR_COMM_PATH_INFO_IND,
                     path_info(9, dir + "X", nv63 + "Z", std::string(64, 'w'))),
              0);
    /* A directory that does not exist: nothing is created on the peer's say-so. */
    ASSERT_EQ(r.send(FWMD_NV, MWRX_WFMGR_COMM_PATH_INFO_IND, path_info(10, "/data/brimwell/absent/", "new.bin")), 0);
    fwmd_body edge, absent;
    nv_entry(edge.u32(1), 9, 8, "EDGE");
    nv_entry(absent.u32(1), 10, 0, "NEW!");
    ASSERT_EQ(r.send(FWMD_NV, MWRX_WFMGR_NV_MODIFY_IND, edge), 0);
    ASSERT_EQ(r.send(FWMD_NV, MWRX_WFMGR_NV_MODIFY_IND, absent), 0);

    expect_loads(r, {
        {9, load_req(64, 0, 0x400000, 0, 63, bin63), 64},                     /* 190-character path */
        {9, load_req(64, 0, 0x401000, 0, 64, bin63 + std::string(1, '\0')), 64},
        {9, load_req(64, 0, 0x402000, 0, 64, bin63 + "c"), 0},                /* 64 characters */
        {9, load_req(64, 0, 0x403000, 0, 65, bin63 + "cc"), 0},               /* 65-byte field */
        {10, load_req(64, 0, 0x404000, 0, 7, "new.bin"), 0},
    });

    /* The writer's path: 127 + "/" + 63 = 191 characters. */
    const std::string nv_path = dir + "/" + nv63;
    EXPECT_TRUE(korvtest::wait_until([&] { return read_range(r.root.path(nv_path), 8, 4) == "EDGE"; }, 15000));
    EXPECT_TRUE(r.korv->wait_log("tp_open,fileid = 0x0, /data/brimwell/absent//new.bin\n"));
    EXPECT_FALSE(r.root.exists("/data/brimwell/absent"));
    EXPECT_EQ(r.root.read(dir + nv63), std::string(8, '\0') + "EDGE" + std::string(52, '\0'));
    EXPECT_EQ(r.count("wf_id=9, wf_name=" + std::string(63, 'w') + ", status=0\n"), 1);
    EXPECT_EQ(r.count("wf_path=" + dir + " nv_file_name=" + nv63 + " \n"), 1);
    EXPECT_EQ(r.count("MWRX_WFMGR_LOAD_REQ filename=" + dir + bin63 + ", len:63\n"), 1);
    EXPECT_EQ(r.count("MWRX_WFMGR_LOAD_REQ file name over 63 characters, refused"), 2);

    const std::string modem = r.root.path("/dev/modem");
    EXPECT_TRUE(read_range(modem, 0x400000, 64) == image.substr(0, 64));
    EXPECT_TRUE(read_range(modem, 0x401000, 64) == image.substr(0, 64));
    for (long dst : {0x402000L, 0x403000L, 0x404000L})
        EXPECT_EQ(read_range(modem, dst, 64), std::string(64, '\0')) << std::hex << dst;
    expect_clean(r);
}

}  // namespace
