// The NVRAM manager in the real korv, fed by fwmd on the NV channel: a burst
// that fills the writer's queue many times over lands byte for byte in
// order, and an MA modification is in the file once korv has exited on
// SIGTERM.
#include <signal.h>

#include <gtest/gtest.h>

#include "nv_child.h"

using namespace nvtest;

namespace {

TEST(NvramE2E, BurstLandsInOrderAndMaSurvivesSigterm) {
    korvtest::sim_root root;
    fwmd_server *fw = fwmd_start(0, 0);
    ASSERT_NE(fw, nullptr);
    korvtest::korv_proc korv(root, {}, {}, fwmd_port(fw, FWMD_WORK), fwmd_port(fw, FWMD_NV));
    ASSERT_EQ(fwmd_wait_connected(fw, FWMD_NV, 20000), 0);
    auto send = [&](uint64_t cmd, const fwmd_body &b) { return fwmd_send_cmd(fw, FWMD_NV, cmd, b); };
    const std::string utran = UTRAN_DIR + "nvram_utran.bin";
    std::string want = root.read(utran);

    ASSERT_EQ(send(MWRX_WFMGR_COMM_PATH_INFO_IND, path_info_body(7, UTRAN_DIR, "nvram_utran.bin")), 0);
    ASSERT_EQ(send(MWRX_WFMGR_NV_MODIFY_IND, modify({{0xFFFFFFFF, 32, "E2E!"}})), 0);
    // 5000 entries of 8 bytes, each overlapping half of the next: any
    // reordering leaves a wrong half behind.
    const uint32_t total = 5000, per_record = 40;
    for (uint32_t k0 = 0; k0 < total; k0 += per_record) {
        std::vector<nv_entry> entries;
        for (uint32_t k = k0; k < k0 + per_record; k++) {
            std::string data(8, '\0');
            for (uint32_t j = 0; j < 8; j++) data[j] = (char)(k * 7 + j * 31 + 1);
            want.replace(k * 4, 8, data);
            entries.push_back({7, k * 4, data});
        }
        ASSERT_EQ(send(MWRX_WFMGR_NV_MODIFY_IND, modify(entries)), 0);
    }
    ASSERT_EQ(send(MWRX_WFMGR_NV_MODIFY_IND, modify({{0x5E5E, 0, ""}})), 0);
    ASSERT_TRUE(korv.wait_log(written_line(0x5E5E), 120000));
    EXPECT_TRUE(root.read(utran) == want);

    EXPECT_EQ(korv.stop(SIGTERM), 0);
    EXPECT_EQ(read_range(root.path(MA_FILE), 32, 4), "E2E!");
    fwmd_stop(fw);
}

}  // namespace
