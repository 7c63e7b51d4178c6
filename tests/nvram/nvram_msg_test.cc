/* NV-channel messages handed to the dispatcher as the looper would: path
 * info and NV modifications reaching the files through the writer thread,
 * and binary loads with their confirmations, hostile bodies included. */
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "kor_msg_cmd.h"
#include "kor_os.h"
#include "nv_child.h"
#include "nvram/nvram.h"

using namespace nvtest;
using korvtest::sim_root;

namespace {

bool in_order(const std::string &text, const std::vector<std::string> &parts) {
    size_t at = 0;
    for (const std::string &p : parts) {
        at = text.find(p, at);
        if (at == std::string::npos) return false;
        at += p.size();
    }
    return true;
}

TEST(NvramMessages, PathInfoAndModifyReachTheRightBytes) {
    sim_root root;
    const std::string log = root.dir + "/nv.log";
    const std::string utran = UTRAN_DIR + "nvram_utran.bin";
    const std::string ltep2p = LTEP2P_DIR + "nvram_ltep2p.bin";
    std::string want_utran = root.read(utran), want_ltep2p = root.read(ltep2p);
    std::string want_ma = root.read(MA_FILE);

    std::string out = in_child(root, log, [&] {
        nv_up();
        const uint32_t cmd = MWRX_WFMGR_COMM_PATH_INFO_IND;
        feed(-1, cmd, path_info_body(7, UTRAN_DIR, "nvram_utran.bin"));
        feed(-1, cmd, path_info_body(9, LTEP2P_DIR, "wrong.bin"));
        feed(-1, cmd, path_info_body(9, LTEP2P_DIR, "nvram_ltep2p.bin"));
        feed(-1, cmd, path_info_body(11, UTRAN_DIR, "absent.bin"));
        feed(-1, cmd, path_info_body(12, LTEP2P_DIR, "nvram_ltep2p.bin"));
        feed(-1, cmd, fwmd_body().u32(0).u32(12));
        feed(-1, cmd, path_info_body(13, std::string(128, 'P'), std::string(64, 'F'), std::string(64, 'N')));

        fwmd_body a, b, c, d;
        entry(entry(entry(a.u32(3), 7, 16, "AAAA"), 7, 18, "BBBB"), 9, 100, "CC");
        entry(entry(entry(entry(entry(b.u32(5), NVRAM_WF_ID_MA, 16, "MMMM"), 0x55, 0, "ZZ"), 11, 0,
                          "QQ"),
                    12, 0, "RR"),
              7, 0, "");
        entry(c.u32(0xFFFFFFFF), 7, 40, "HH").raw("0123456789", 10); /* N far beyond the body */
        d.u32(2).u32(0).u32(7).u32(50).u32(0xFFFFFFFF).raw("xx", 2);  /* len beyond the body */
        for (fwmd_body *m : {&a, &b, &c, &d}) feed(-1, MWRX_WFMGR_NV_MODIFY_IND, *m);
        socket_event(-1, "short", 5);
        return drain(log) ? "drained" : "writer stuck";
    });
    ASSERT_EQ(out, "drained");

    want_utran.replace(16, 6, "AABBBB").replace(40, 2, "HH");
    want_ltep2p.replace(100, 2, "CC");
    want_ma.replace(16, 4, "MMMM");
    EXPECT_TRUE(root.read(utran) == want_utran);
    EXPECT_TRUE(root.read(ltep2p) == want_ltep2p);
    EXPECT_TRUE(root.read(MA_FILE) == want_ma);
    EXPECT_FALSE(root.exists(UTRAN_DIR + "absent.bin"));
    EXPECT_FALSE(root.exists(LTEP2P_DIR + "wrong.bin"));

    const std::string text = korvtest::read_file(log);
    EXPECT_TRUE(in_order(text, {"N=3\n", "while(2)", "NVRAM_MODIFY_IND[2] offset=16", "while(1)",
                                "NVRAM_MODIFY_IND[1] offset=18", "while(0)",
                                "NVRAM_MODIFY_IND[0] offset=100"}));
    EXPECT_NE(text.find("tp_open,fileid = 0x0, " + UTRAN_DIR + "/absent.bin"),
              std::string::npos);
    EXPECT_NE(text.find("wf_name=" + std::string(63, 'N') + ", wf_path=" + std::string(127, 'P') +
                        ", nv_file_name=" + std::string(63, 'F') + "\n"),
              std::string::npos);
}

fwmd_body load_body(uint32_t flag, uint32_t req_len, uint32_t read_len, uint32_t dst,
                    uint32_t file_len, const std::string &name) {
    fwmd_body b;
    b.u32(flag).u32(req_len).u32(read_len).u32(dst).u32(file_len).u32((uint32_t)name.size());
    b.raw(name.data(), name.size());
    return b;
}

/* The confirmations written on the socket, in order (read to its end). */
std::vector<fwmd_msg> read_cnfs(int fd) {
    std::vector<fwmd_msg> out;
    std::string bytes;
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) bytes.append(buf, (size_t)n);
    for (size_t at = 0; at + 4 <= bytes.size();) {
        const uint8_t *p = (const uint8_t *)bytes.data() + at;
        size_t len = (size_t)p[0] << 24 | p[1] << 16 | p[2] << 8 | p[3];
        fwmd_msg m;
        if (at + 4 + len > bytes.size() || fwmd_decode(p + 4, len, &m) != 0) break;
        out.push_back(m);
        at += 4 + len;
    }
    return out;
}

TEST(NvramMessages, LoadsPlaceBinariesAndConfirm) {
    sim_root root;
    const std::string log = root.dir + "/nv.log";
    root.write(LTEP2P_DIR + "load_config.ini", "  load_wave_type_ex = 0   # 1\n");
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    const uint64_t high = 0x100000007ull; /* only the low 32 bits select wf 7 */
    const uint64_t wf_ids[] = {8, 8, high, 7, 7, 7, 7, 99};

    std::string out = in_child(root, log, [&] {
        nv_up();
        feed(sv[1], MWRX_WFMGR_COMM_PATH_INFO_IND, path_info_body(7, UTRAN_DIR, "nvram_utran.bin"));
        feed(sv[1], MWRX_WFMGR_COMM_PATH_INFO_IND, path_info_body(8, LTEP2P_DIR, "nvram_ltep2p.bin"));
        const fwmd_body bodies[] = {
            load_body(1, 100, 10, 0x200123, 0, "l.bin"),     /* direct, unaligned */
            load_body(1, 1000, 16000, 0x201000, 0, "l.bin"), /* short file */
            load_body(1, 64, 0, 0x202000, 0, "u.bin"),       /* not in wf_config.ini */
            load_body(1, 0, 0, 0x300000, 100, "u_auth.bin"), /* through the driver */
            load_body(1, 0, 0, 0x310000, 50, "auth.bin"),    /* missing binary */
            fwmd_body().u32(1).u32(0).u32(0).u32(0).u32(0).u32(0xFFFFFFFF).raw("u.bin", 5),
            load_body(1, 10, 0, 0x203000, 0, std::string(300, 'x')),
            load_body(1, 10, 0, 0x203000, 0, "l.bin"), /* no path record */
        };
        for (size_t i = 0; i < 8; i++) feed(sv[1], MWRX_WFMGR_LOAD_REQ, bodies[i], wf_ids[i]);
        feed(sv[1], MWRX_WFMGR_LOAD_REQ, load_body(0, 64, 0, 0x204000, 0, "u.bin"), 7);
        return std::string("done");
    });
    ASSERT_EQ(out, "done");
    close(sv[1]);
    std::vector<fwmd_msg> cnfs = read_cnfs(sv[0]);
    close(sv[0]);

    const uint32_t counts[] = {100, 384, 64, 0, 0, 0, 0, 0};
    ASSERT_EQ(cnfs.size(), 8u);
    for (size_t i = 0; i < 8; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(cnfs[i].msg_cmd, MWRX_WFMGR_LOAD_CNF);
        EXPECT_EQ(cnfs[i].wf_id, wf_ids[i]);
        EXPECT_EQ(cnfs[i].src, 2);
        EXPECT_EQ(cnfs[i].dst, 1);
        EXPECT_EQ(cnfs[i].body.size(), 12u);
        EXPECT_EQ(fwmd_body_u32(cnfs[i], 0), 1u);
        EXPECT_EQ(fwmd_body_u32(cnfs[i], 4), counts[i]);
        EXPECT_EQ(fwmd_body_u32(cnfs[i], 8), 0u);
    }
    const std::string mem = root.path("/dev/modem");
    const std::string l = root.read(LTEP2P_DIR + "l.bin");
    EXPECT_TRUE(read_range(mem, 0x200123, 100) == l.substr(10, 100));
    EXPECT_TRUE(read_range(mem, 0x201000, 384) == l.substr(16000));
    EXPECT_TRUE(read_range(mem, 0x202000, 64) == root.read(UTRAN_DIR + "u.bin").substr(0, 64));
    EXPECT_TRUE(read_range(mem, 0x300000, 4096) == root.read(UTRAN_DIR + "u_auth.bin"));
    EXPECT_EQ(read_range(mem, 0x204000, 64), std::string(64, '\0')); /* u32_flag 0 */

    const std::string journal = root.read("/dev/modem.log");
    EXPECT_NE(journal.find("WF_BIN_LOAD path=" + UTRAN_DIR + "u_auth.bin" +
                           " dst=0x300000 len=4096 = 0\n"),
              std::string::npos);
    EXPECT_NE(journal.find("WF_BIN_LOAD path=" + UTRAN_DIR + "auth.bin" +
                           " dst=0x310000 len=50 = -1 ENOENT\n"),
              std::string::npos);
    const std::string text = korvtest::read_file(log);
    EXPECT_NE(text.find("[AOS][FLOW]: stat " + UTRAN_DIR + "auth.bin" + " error, errno 2"),
              std::string::npos);
    EXPECT_TRUE(in_order(text, {"u32_flag=0\n", "u32_req_len=64\n", "u32_read_len=0\n",
                                "u32_dst_addr=2113536\n", "u32_file_len=0\n",
                                "u32_filename_len=5\n", "file_name=u.bin\n"}));
}

}  // namespace
