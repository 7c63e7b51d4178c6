// korv_sim_init: the phone root's layout and contents, and completing a root.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "harness.h"
#include "sim_root.h"

static const std::string k_wf = "/data/brimwell/wf_manager/waveform/";

TEST(SimRoot, LayoutAndContents) {
    korvtest::sim_root root;
    struct stat st;
    ASSERT_EQ(0, stat(root.path("/dev/modem").c_str(), &st));
    EXPECT_EQ(64 << 20, st.st_size);
    EXPECT_LT(st.st_blocks * 512, 1 << 20) << "modem memory is not sparse";
    for (const char *f : {"/dev/modem.log", "/init/ctl.log", "/sys/tarno/usim_voltage",
                          "/sys/tarno/usim2_voltage", "/sys/kernel/boot_adsp/boot"})
        EXPECT_EQ("", root.read(f)) << f;

    /* korv only logs an NV file it cannot open: nothing else would notice one missing. */
    std::string cfg = root.read("/system/etc/bw-hqs.cfg");
    for (const char *line : {"bw.sysconfig.ma.file = /data/brimwell/nvram/nvram_sysconfig_ma.bin\n",
                             "bw.sysconfig.da.file = /data/brimwell/nvram/nvram_sysconfig_da.bin\n",
                             "bw.user.data.file = /data/brimwell/nvram/nvram_user_data.bin\n"})
        EXPECT_NE(std::string::npos, cfg.find(line)) << line;
    for (const char *f : {"nvram_sysconfig_da.bin", "nvram_user_data.bin", "nvram_log.bin"})
        EXPECT_TRUE(root.exists(std::string("/data/brimwell/nvram/") + f)) << f;
    std::string ma = root.read("/data/brimwell/nvram/nvram_sysconfig_ma.bin");
    EXPECT_EQ(1u << 20, ma.size());
    EXPECT_EQ(ma, root.read("/data/brimwell/nvram/nvram_sysconfig_ba.bin"));
    EXPECT_EQ(std::string("\x5a\x5a\x5a\x5a\x5e\x5a\x5a\x5a", 8), ma.substr(0, 8));

    const struct {
        const char *file;
        size_t size;
        unsigned mul, add; /* byte i is (i * mul + add) & 0xFF */
    } patterns[] = {{"UTRAN/nvram_utran.bin", 65536, 1, 0}, {"UTRAN/u.bin", 8192, 7, 3},
                    {"UTRAN/u_auth.bin", 4096, 13, 5},       {"LTEP2P/nvram_ltep2p.bin", 65536, 3, 0},
                    {"LTEP2P/l.bin", 16384, 11, 1}};
    for (const auto &p : patterns) {
        std::string want(p.size, '\0');
        for (size_t i = 0; i < p.size; i++) want[i] = static_cast<char>((i * p.mul + p.add) & 0xFF);
        EXPECT_TRUE(root.read(k_wf + p.file) == want) << p.file;
    }
    std::string wfconfig = root.read(k_wf + "LTEP2P/nvram_wfconfig.bin");
    EXPECT_EQ(4096u, wfconfig.size());
    EXPECT_EQ(wfconfig, root.read(k_wf + "LTEP2P/nvram_wfconfig.bin.bak"));
}

TEST(SimRoot, CompletesAndReportsMissingTools) {
    korvtest::sim_root root;
    root.write("/dev/modem.conf", "fail = 0x4D02\n");
    unlink(root.path(k_wf + "UTRAN/u.bin").c_str());
    std::string err;
    ASSERT_EQ(0, korv_sim_init(root.dir, &err)) << err;
    EXPECT_EQ("fail = 0x4D02\n", root.read("/dev/modem.conf")) << "settings overwritten";
    EXPECT_EQ(8192u, root.read(k_wf + "UTRAN/u.bin").size());

    setenv("KORV_SIM_BIN_DIR", "/nonexistent", 1);
    EXPECT_EQ(-1, korv_sim_init(root.dir, &err));
    unsetenv("KORV_SIM_BIN_DIR");
    EXPECT_NE(std::string::npos, err.find("/nonexistent/bw-dump")) << err;
}
