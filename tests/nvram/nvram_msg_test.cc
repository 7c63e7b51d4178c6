// NV-channel messages handed to the dispatcher as the looper would: path
// info and NV modifications reaching the files through the writer thread,
// and binary loads with their confirmations, hostile bodies included.
#include <sys/socket.h>
#include <unistd.h>

#include <tuple>

#include <gtest/gtest.h>

#include "nv_child.h"

using namespace nvtest;

namespace {

bool in_order(const std::string &text, const std::vector<std::string> &parts) {
    size_t at = 0;
    for (const std::string &p : parts) {
        if ((at = text.find(p, at)) == std::string::npos) return false;
        at += p.size();
    }
    return true;
}

TEST(NvramMessages, PathInfoAndModifyReachTheRightBytes) {
    nv_root root;
    const std::string utran = UTRAN_DIR + "nvram_utran.bin", ltep2p = LTEP2P_DIR + "nvram_ltep2p.bin";
    std::string want_utran = root.read(utran), want_ltep2p = root.read(ltep2p), want_ma = root.read(MA_FILE);

    ASSERT_TRUE(root.run([&] {
        nv_up();
        for (const fwmd_body &b : {
                 path_info_body(7, UTRAN_DIR, "nvram_utran.bin"),
                 path_info_body(9, LTEP2P_DIR, "wrong.bin"),
                 path_info_body(9, LTEP2P_DIR, "nvram_ltep2p.bin"),  // the second record wins
                 path_info_body(11, UTRAN_DIR, "absent.bin"),
                 path_info_body(12, LTEP2P_DIR, "nvram_ltep2p.bin"),
                 fwmd_body().u32(0).u32(12),  // selector 0 removes it
                 path_info_body(13, std::string(128, 'P'), std::string(64, 'F'), std::string(64, 'N')),
             })
            feed(-1, MWRX_WFMGR_COMM_PATH_INFO_IND, b);
        for (const fwmd_body &b : {
                 modify({{7, 16, "AAAA"}, {7, 18, "BBBB"}, {9, 100, "CC"}}),
                 modify({{NVRAM_WF_ID_MA, 16, "MMMM"}, {0x55, 0, "ZZ"}, {11, 0, "QQ"}, {12, 0, "RR"}, {7, 0, ""}}),
                 modify({{7, 40, "HH"}}, 0xFFFFFFFF).raw("0123456789", 10),            // N far beyond the body
                 fwmd_body().u32(2).u32(0).u32(7).u32(50).u32(0xFFFFFFFF).raw("xx", 2),  // len beyond the body
             })
            feed(-1, MWRX_WFMGR_NV_MODIFY_IND, b);
        socket_event(-1, "short", 5);
        EXPECT_TRUE(drain(root.log_path));
    }));

    want_utran.replace(16, 6, "AABBBB").replace(40, 2, "HH");
    want_ltep2p.replace(100, 2, "CC");
    want_ma.replace(16, 4, "MMMM");
    EXPECT_TRUE(root.read(utran) == want_utran);
    EXPECT_TRUE(root.read(ltep2p) == want_ltep2p);
    EXPECT_TRUE(root.read(MA_FILE) == want_ma);
    EXPECT_FALSE(root.exists(UTRAN_DIR + "absent.bin"));
    EXPECT_FALSE(root.exists(LTEP2P_DIR + "wrong.bin"));

    const std::string text = root.logged();
    EXPECT_TRUE(in_order(text, {"N=3\n", "while(2)", "NVRAM_MODIFY_IND[2] offset=16", "while(1)",
                                "NVRAM_MODIFY_IND[1] offset=18", "while(0)", "NVRAM_MODIFY_IND[0] offset=100"}));
    EXPECT_NE(text.find("tp_open,fileid = 0x0, " + UTRAN_DIR + "/absent.bin"), std::string::npos);
    // A batch opens a file once, but every record still logs its open, with a real handle.
    size_t opens = 0;
    for (size_t at = 0; (at = text.find("tp_open,fileid = 0x", at)) != std::string::npos; at++) {
        const std::string line = text.substr(at, text.find('\n', at) - at);
        if (line.find("nvram_utran.bin") == std::string::npos) continue;
        opens++;
        EXPECT_EQ(line.find("0x0,"), std::string::npos) << line;
    }
    EXPECT_EQ(opens, 4u);
    EXPECT_NE(text.find("wf_name=" + std::string(63, 'N') + ", wf_path=" + std::string(127, 'P') +
                        ", nv_file_name=" + std::string(63, 'F') + "\n"),
              std::string::npos);
}

fwmd_body load_body(uint32_t flag, uint32_t req_len, uint32_t read_len, uint32_t dst, uint32_t file_len,
                    const std::string &name) {
    return fwmd_body().u32(flag).u32(req_len).u32(read_len).u32(dst).u32(file_len).u32((uint32_t)name.size()).raw(
        name.data(), name.size());
}

// The confirmations written on the socket, in order (read to its end).
std::vector<fwmd_msg> read_cnfs(int fd) {
    std::vector<fwmd_msg> out;
    std::string bytes;
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) bytes.append(buf, (size_t)n);
    fwmd_msg m;
    for (size_t at = 0, len; at + 4 <= bytes.size(); at += 4 + len) {
        const uint8_t *p = (const uint8_t *)bytes.data() + at;
        len = (size_t)p[0] << 24 | p[1] << 16 | p[2] << 8 | p[3];
        if (at + 4 + len > bytes.size() || fwmd_decode(p + 4, len, &m) != 0) break;
        out.push_back(m);
    }
    return out;
}

TEST(NvramMessages, LoadsPlaceBinariesAndConfirm) {
    nv_root root;
    root.write(LTEP2P_DIR + "load_config.ini", "  load_wave_type_ex = 0   # 1\n");
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    const struct {
        uint64_t wf_id;
        fwmd_body body;
        uint32_t count;
    } loads[] = {
        {8, load_body(1, 100, 10, 0x200123, 0, "l.bin"), 100},     // direct, unaligned
        {8, load_body(1, 1000, 16000, 0x201000, 0, "l.bin"), 384}, // short file
        {0x100000007ull, load_body(1, 64, 0, 0x202000, 0, "u.bin"), 64},  // wf 7: low 32 bits; not in wf_config.ini
        {7, load_body(1, 0, 0, 0x300000, 100, "u_auth.bin"), 0},   // through the driver
        {7, load_body(1, 0, 0, 0x310000, 50, "auth.bin"), 0},      // missing binary
        {7, fwmd_body().u32(1).u32(0).u32(0).u32(0).u32(0).u32(0xFFFFFFFF).raw("u.bin", 5), 0},
        {7, load_body(1, 10, 0, 0x203000, 0, std::string(300, 'x')), 0},
        {99, load_body(1, 10, 0, 0x203000, 0, "l.bin"), 0},        // no path record
    };

    ASSERT_TRUE(root.run([&] {
        nv_up();
        feed(sv[1], MWRX_WFMGR_COMM_PATH_INFO_IND, path_info_body(7, UTRAN_DIR, "nvram_utran.bin"));
        feed(sv[1], MWRX_WFMGR_COMM_PATH_INFO_IND, path_info_body(8, LTEP2P_DIR, "nvram_ltep2p.bin"));
        for (const auto &l : loads) feed(sv[1], MWRX_WFMGR_LOAD_REQ, l.body, l.wf_id);
        feed(sv[1], MWRX_WFMGR_LOAD_REQ, load_body(0, 64, 0, 0x204000, 0, "u.bin"), 7);
    }));
    close(sv[1]);
    std::vector<fwmd_msg> cnfs = read_cnfs(sv[0]);
    close(sv[0]);

    ASSERT_EQ(cnfs.size(), std::size(loads));  // none for u32_flag 0
    for (size_t i = 0; i < cnfs.size(); i++) {
        const fwmd_msg &c = cnfs[i];
        EXPECT_EQ(std::make_tuple(c.msg_cmd, c.wf_id, c.src, c.dst, c.body.size()),
                  std::make_tuple((uint64_t)MWRX_WFMGR_LOAD_CNF, loads[i].wf_id, (uint16_t)2, (uint16_t)1, (size_t)12))
            << i;
        EXPECT_EQ(std::make_tuple(fwmd_body_u32(c, 0), fwmd_body_u32(c, 4), fwmd_body_u32(c, 8)),
                  std::make_tuple(1u, loads[i].count, 0u))
            << i;
    }
    const std::string mem = root.path("/dev/modem"), l = root.read(LTEP2P_DIR + "l.bin");
    EXPECT_TRUE(read_range(mem, 0x200123, 100) == l.substr(10, 100));
    EXPECT_TRUE(read_range(mem, 0x201000, 384) == l.substr(16000));
    EXPECT_TRUE(read_range(mem, 0x202000, 64) == root.read(UTRAN_DIR + "u.bin").substr(0, 64));
    EXPECT_TRUE(read_range(mem, 0x300000, 4096) == root.read(UTRAN_DIR + "u_auth.bin"));
    EXPECT_EQ(read_range(mem, 0x204000, 64), std::string(64, '\0'));  // u32_flag 0

    const std::string journal = root.read("/dev/modem.log"), text = root.logged();
    EXPECT_NE(journal.find("WF_BIN_LOAD path=" + UTRAN_DIR + "u_auth.bin dst=0x300000 len=4096 = 0\n"), std::string::npos);
    EXPECT_NE(journal.find("WF_BIN_LOAD path=" + UTRAN_DIR + "auth.bin dst=0x310000 len=50 = -1 ENOENT\n"),
              std::string::npos);
    EXPECT_NE(text.find("[AOS][FLOW]: stat " + UTRAN_DIR + "auth.bin error, errno 2"), std::string::npos);
    EXPECT_TRUE(in_order(text, {"u32_flag=0\n", "u32_req_len=64\n", "u32_read_len=0\n", "u32_dst_addr=2113536\n",
                                "u32_file_len=0\n", "u32_filename_len=5\n", "file_name=u.bin\n"}));
}

}  // namespace
