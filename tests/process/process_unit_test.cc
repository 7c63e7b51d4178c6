/* Configuration reader, version and NV backup check, called directly.  Each
 * scenario runs in a child on a root of its own; the commands the backup
 * check runs are captured by this executable's kor_system. */
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>

#include "process/cfg.h"
#include "process/frame.h"
#include "kor_cfg.h"
#include "unit_support.h"

using korvtest::count_log;
using korvtest::in_child_root;
using korvtest::sim_root;

namespace {
std::vector<std::string> s_commands;
bool s_run_commands = false;  // hand the commands on to the real seam
}  // namespace

extern "C" int kor_system(const char *command) {
    s_commands.push_back(command);
    if (!s_run_commands) return 0;
    auto real = reinterpret_cast<int (*)(const char *)>(dlsym(RTLD_NEXT, "kor_system"));
    return real(command);
}

TEST(CfgReader, AppliesKeysAndLineRules) {
    in_child_root(false, [](const sim_root &root) {
        std::string text =
            "  bw.log.size   =   1048576  \r\n"
            "bw.log.general.info=7\r\r\n"
            "bw.log.aep.info\t= 9\n"
            "  # bw.log.ati.info = 3\n"
            "bw.log.nvram.info\n"
            "bw.log.mux.info = 3\n"
            "bw.log.mux.info =  \n"
            " = 5\n"
            "BW.LOG.MUX.INFO = 4\n"
            "bw.log.mdm.info = 9\n"
            "bw.log.aos.info = 5M\n"
            "bw.log.atiext.info = -1\n"
            "bw.log.amt.info = 4294967297\n"
            "bw.amt.file = /a=b\n"
            "bw.user.data.file = x # kept\n"
            "bw.sysconfig.da.file = /" + std::string(70, 'd') + "\n"
            "bw.sysconfig.da.file = /short\n"
            "bw.nvupdate.dev.name = " + std::string(40, 'n') + "\n"
            "bw.sysconfig.ma.file = /" + std::string(126, 'm') + "\n"
            "bw.log.ati.info = 11\n"
            "bw.log.mdm.info = abc";  // last line without a line feed
        root.write("/etc/t.cfg", text);
        ASSERT_EQ(0, cfg_init("/etc/t.cfg"));
        const bw_hqs_cfg_st &c = g_bw_hqs_cfg;
        EXPECT_STREQ("/etc/t.cfg", c.cfg_file_path);
        EXPECT_EQ(1048576, c.log_size);
        EXPECT_EQ(7, c.log_general_info);
        EXPECT_EQ(0, c.log_aep_info);    // tab belongs to the key
        EXPECT_EQ(11, c.log_ati_info);   // comment skipped, line after 150 chars read
        EXPECT_EQ(5, c.log_aos_info);
        EXPECT_EQ(-1, c.log_atiext_info);
        EXPECT_EQ(1, c.log_amt_info);    // low 32 bits
        EXPECT_EQ(3, c.log_mux_info);    // empty value and other-case key ignored
        EXPECT_EQ(0, c.log_mdm_info);    // "abc", the last line for the key
        EXPECT_STREQ("/a=b", c.amt_file);
        EXPECT_STREQ("x # kept", c.user_data_file);
        EXPECT_EQ(0, memcmp(c.sysconfig_da_file, "/short", 7));
        EXPECT_EQ(std::string(CFG_PATH_MAX + 1 - 7, '\0'),
                  std::string(c.sysconfig_da_file + 7, CFG_PATH_MAX + 1 - 7));
        EXPECT_EQ(std::string(28, 'n'), c.nvupdate_dev_name);
        EXPECT_EQ("/" + std::string(75, 'm'), c.sysconfig_ma_file);  // 99 characters kept
        EXPECT_EQ(1, count_log(8, 8, "[AOS][FLOW]: cfg file path is /etc/t.cfg\n"));
    });
}

TEST(CfgReader, LineLimitMissingFileAndDefaultPath) {
    in_child_root(false, [](const sim_root &root) {
        std::string many;
        for (int i = 1; i <= 700; i++) many += "bw.log.size = " + std::to_string(i) + "\n";
        root.write("/etc/many.cfg", many);
        ASSERT_EQ(0, cfg_init("/etc/many.cfg"));
        EXPECT_EQ(600, g_bw_hqs_cfg.log_size);

        root.write("/etc/none.cfg", "# nothing\n");
        ASSERT_EQ(0, cfg_init("/etc/none.cfg"));
        EXPECT_EQ(0, g_bw_hqs_cfg.log_size);

        korvtest::clear_logs();
        EXPECT_EQ(-1, cfg_init(nullptr));
        EXPECT_EQ(5242880, g_bw_hqs_cfg.log_size);
        EXPECT_EQ(1, count_log(8, 2,
                               "[AOS][FLOW]: fail to open file: /system/etc/bw-hqs.cfg errno = "
                               "2-No such file or directory\n"));
        EXPECT_EQ(0, korvtest::count_log_part("cfg file path is"));

        std::string long_path = "/" + std::string(99, 'p');
        EXPECT_EQ(-1, cfg_init(long_path.c_str()));
        EXPECT_EQ(long_path.substr(0, 80), std::string(g_bw_hqs_cfg.cfg_file_path, 80));
        EXPECT_EQ(1, korvtest::count_log_part("open file: " + long_path.substr(0, 80) + " errno"));

        // The default path is taken below the root.
        root.write("/system/etc/bw-hqs.cfg", "bw.log.size=77\n");
        EXPECT_EQ(0, cfg_init(""));
        EXPECT_EQ(77, g_bw_hqs_cfg.log_size);
    });
}

TEST(NvBackup, CommandsPerFileStateAndVersion) {
    in_child_root(false, [](const sim_root &root) {
        const std::string nv = KORV_WFCONFIG_NV, bak = KORV_WFCONFIG_NV_BAK;
        const std::string restore = "cp " + bak + " " + nv, backup = "cp " + nv + " " + bak;
        const std::string recovery_line = "[AT-MODEM][FLOW]: korv cp_nvram recovery\n";
        const std::string bak_line = "[AT-MODEM][FLOW]: korv cp_nvram bak\n";
        struct step {
            bool nv, bak;
            int result;
            std::vector<std::string> commands;
        } steps[] = {
            {false, false, 0, {restore, "sync", backup, "sync"}},
            {false, true, 0, {restore, "sync"}},
            {true, false, 0, {backup, "sync"}},
            {true, true, -1, {}},
        };
        for (const auto &s : steps) {
            std::remove(root.path(nv).c_str());
            std::remove(root.path(bak).c_str());
            if (s.nv) root.write(nv, "NV");
            if (s.bak) root.write(bak, "BAK");
            s_commands.clear();
            korvtest::clear_logs();
            EXPECT_EQ(s.result, check_cp_nvram_backup());
            EXPECT_EQ(s.commands, s_commands);
            EXPECT_EQ(!s.nv, count_log(8, 8, recovery_line) == 1);
            EXPECT_EQ(!s.bak, count_log(8, 8, bak_line) == 1);
        }

        // get_version runs the check first, then copies at most capacity bytes.
        char buf[51] = {0};
        std::remove(root.path(nv).c_str());
        s_commands.clear();
        EXPECT_EQ(0, get_version(buf, 10));
        EXPECT_EQ(std::string("bw_hqs_v2."), buf);
        EXPECT_EQ((std::vector<std::string>{restore, "sync"}), s_commands);
        EXPECT_EQ(0, get_version(buf, 50));
        EXPECT_STREQ(KORV_VERSION, buf);
        EXPECT_EQ(-1, get_version(nullptr, 50));

        // The real copy happens below the root.
        s_run_commands = true;
        s_commands.clear();
        EXPECT_EQ(0, check_cp_nvram_backup());
        EXPECT_EQ("BAK", root.read(nv));
        EXPECT_EQ((std::vector<std::string>{restore, "sync"}), s_commands);
    });
}
