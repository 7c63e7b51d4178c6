// Modem device control and the DMI operations against the simulated driver.
// Every scenario runs in a child on a root of its own (the modem state is
// process-wide) and is judged by the driver journal, the modem memory file,
// the init control log and the captured log lines.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "modem/at_modem.h"
#include "modem/dmi.h"
#include "unit_support.h"

using korvtest::count_log;
using korvtest::in_child_root;
using korvtest::sim_root;

namespace {
const uint64_t kFail = AT_MODEM_FAIL;

// Reads (data empty) or writes the memory file at an offset.
std::string modem_mem(const sim_root &root, off_t at, size_t n, const std::string &data = "") {
    std::string b(n, '\0');
    int fd = open(root.path("/dev/modem").c_str(), O_RDWR);
    EXPECT_EQ((ssize_t)n,
              data.empty() ? pread(fd, b.data(), n, at) : pwrite(fd, data.data(), n, at));
    close(fd);
    return b;
}

int32_t word_at(const sim_root &root, off_t at) {
    int32_t w;  // the host is little-endian, like the modem
    memcpy(&w, modem_mem(root, at, 4).data(), 4);
    return w;
}

// Captured error lines of the modem module.
int modem_error(const std::string &text) { return count_log(8, 2, "[AT-MODEM][FLOW]: " + text); }

int journal_count(const sim_root &root, const std::string &prefix) {
    return korvtest::count_of("\n" + root.read("/dev/modem.log"), "\n" + prefix);
}

int poweron_log_starts(const sim_root &root) {
    return korvtest::count_of(root.read("/init/ctl.log"), "ctl.start bw-poweron-log\n");
}
}  // namespace

TEST(AtModem, OpenMapsCacheResetsAndStarts) {
    in_child_root(true, [](const sim_root &root) {
        modem_mem(root, 0x800000, 8, "NVCACHE!");
        modem_mem(root, 0x3FF000, 4, "\xff\xff\xff\xff");
        ASSERT_EQ(0u, at_modem_open());
        EXPECT_EQ((std::vector<std::string>{"NVRAM_CACHE_INFO base=0x800000 size=0x100000 = 0",
                                            "RESET = 0", "EXT_INFO id=6 value=0x3ff000 = 0"}),
                  root.journal());
        ASSERT_NE(0u, g_js_ram_modem_nvram_cache_base_addr);
        EXPECT_EQ(0, memcmp((void *)g_js_ram_modem_nvram_cache_base_addr, "NVCACHE!", 8));
        EXPECT_EQ(0x100000u, g_js_ram_modem_nvram_cache_size);
        EXPECT_EQ(0, word_at(root, 0x3FF000));  // trace-log property unset
        EXPECT_EQ(0, poweron_log_starts(root));
        EXPECT_EQ(1, modem_error("open and reset modem OK !\n"));

        // A second open reopens and resets, but neither maps nor asks again.
        EXPECT_EQ(0u, at_modem_open());
        EXPECT_EQ(1, modem_error("at_modem_open close fd_modem!\n"));
        EXPECT_EQ(1, korvtest::count_log_part("at_modem_get_nvram_cache_base_addr:0x"));
        EXPECT_EQ(1, journal_count(root, "NVRAM_CACHE_INFO"));
        EXPECT_EQ(1, journal_count(root, "EXT_INFO"));
        EXPECT_EQ(2, journal_count(root, "RESET = 0"));

        EXPECT_EQ(0u, at_modem_start());
        EXPECT_EQ("RUN = 0", root.journal().back());
    });
}

TEST(AtModem, TraceLogSwitchFollowsProperty) {
    in_child_root(true, [](const sim_root &root) {
        const struct {
            const char *value;
            int32_t word;
        } cases[] = {{"1", 1}, {"2", 2}, {"abc", 0}};
        for (const auto &c : cases) {
            root.set_prop("persist.sys.poweron.trace_log", c.value);
            EXPECT_EQ(0u, at_modem_open()) << c.value;
            EXPECT_EQ(c.word, word_at(root, 0x3FF000)) << c.value;
            EXPECT_EQ(1, poweron_log_starts(root)) << c.value;  // only "1" starts it
        }
    });
}

TEST(AtModem, ExtInfoIdsAndClosedDevice) {
    in_child_root(true, [](const sim_root &root) {
        EXPECT_EQ(kFail, at_modem_get_ext_info(6));
        EXPECT_EQ(1, modem_error("fd_modem fault (-1)!\n"));

        root.write("/dev/modem.conf", "ext_info.4 = 0x1234\n");
        ASSERT_EQ(0u, at_modem_open());
        for (uint32_t id : {0u, 2u, 5u, 7u, 10u}) {
            EXPECT_EQ(kFail, at_modem_get_ext_info(id));
            EXPECT_EQ(1, modem_error("not support modem info id (" +
                                             std::to_string(id) + ")!\n"));
        }
        for (int i = 0; i < 2; i++) {
            EXPECT_EQ(0x1234u, at_modem_get_ext_info(4));
            EXPECT_EQ(0u, at_modem_get_ext_info(3));
        }
        EXPECT_EQ(1, journal_count(root, "EXT_INFO id=4"));  // cached
        EXPECT_EQ(2, journal_count(root, "EXT_INFO id=3"));  // 0 is asked again
        EXPECT_EQ(0, journal_count(root, "EXT_INFO id=5"));
    });
}

TEST(AtModem, DriverFailures) {
    in_child_root(true, [](const sim_root &root) {
        root.write("/dev/modem.conf", "fail = 0x4D03\n");
        EXPECT_EQ(kFail, at_modem_open());
        EXPECT_EQ(1, modem_error("Error set modem reset error!\n"));
        EXPECT_EQ("RESET = -1 EIO", root.journal().back());
        EXPECT_EQ(0, korvtest::count_log_part("switch_info_value"));
    });
    in_child_root(true, [](const sim_root &root) {
        root.write("/dev/modem.conf", "fail = 0x4D04\n");
        EXPECT_EQ(0u, at_modem_open());  // no switch word, but the open holds
        EXPECT_EQ(kFail, at_modem_get_ext_info(6));
        EXPECT_EQ(1, journal_count(root, "EXT_INFO id=6 = -1 EIO"));
        EXPECT_EQ(1, modem_error("ioctl get modem ext info id:6 fail !\n"));
    });
    in_child_root(true, [](const sim_root &root) {
        root.write("/dev/modem.conf", "fail = 0x4D01\n");
        EXPECT_EQ(kFail, at_modem_open());
        EXPECT_EQ(1, count_log(8, 2, "ioctl ERROR!\n"));
        EXPECT_EQ(1, count_log(4, 2,
                               "[NV][FLOW]: at_modem_open at_modem_nvram_cache_base_addr ERROR!\n"));
        EXPECT_EQ(0, journal_count(root, "RESET"));
        EXPECT_EQ(0u, g_js_ram_modem_nvram_cache_base_addr);
        EXPECT_EQ(0x100000u, g_js_ram_modem_nvram_cache_size);
    });
}

TEST(Dmi, CreateDeleteThroughDriver) {
    in_child_root(true, [](const sim_root &root) {
        ASSERT_EQ(0u, at_modem_open());
        EXPECT_EQ(-1, platform_manager_dmi_create(nullptr));
        EXPECT_EQ(-1, platform_manager_hs_dmi_create(nullptr));
        EXPECT_EQ(-1, platform_manager_dmi_delete(nullptr));
        EXPECT_EQ(1, modem_error("dmi_create dmi: {null} \n"));
        EXPECT_EQ(1, modem_error("platform_manager_hs_dmi_create dmi: {null} \n"));
        EXPECT_EQ(1, modem_error("dmi_delete dmi_name: {null} \n"));

        dmi_channel ch = {"utran0", 3, 1, 0x1000, 4096, 1, 0x2000, 4096, 2, 8, 1500, 8, 1500, 5, 6};
        const std::string journal = "DMI_CREATE name=utran0 type=3 property=1 cp2ap=0x1000,4096,1 "
                                    "ap2cp=0x2000,4096,2 hs=8,1500,8,1500,5,6 = ";
        EXPECT_EQ(0, platform_manager_dmi_create(&ch));
        EXPECT_EQ(journal + "0", root.journal().back());
        EXPECT_EQ(1, count_log(8, 8, "[AT-MODEM][FLOW]: dmi_create dmi: { name:utran0, type:3, u8:1, "
                                     "cp2ap[0x1000, 4096, 1], ap2cp[0x2000, 4096, 2]} \n"));

        EXPECT_EQ(-1, platform_manager_hs_dmi_create(&ch));
        EXPECT_EQ(journal + "-1 EEXIST", root.journal().back());
        EXPECT_EQ(1, count_log(8, 8, "[AT-MODEM][FLOW]: platform_manager_hs_dmi_create dmi222: {  "
                                     "cp2ap_pkt_maxnum:8, cp2ap_pkt_maxsize:1500, ap2cp_pkt_maxnum: 8, "
                                     "ap2cp_pkt_maxsize:1500, cp2ap_ctl_id:5, ap2cp_ctl_id:6 \n"));
        EXPECT_EQ(1, modem_error("platform_manager_hs_dmi_create failed \n"));
        EXPECT_EQ(1, count_log(1, 8, "[ATIEXT][FLOW]platform_manager_hs_dmi_create connect<=0 "
                                     "errno 17--File exists"));
        EXPECT_EQ(-1, platform_manager_dmi_create(&ch));
        EXPECT_EQ(1, count_log(1, 8, "[ATIEXT][FLOW]platform_manager_dmi_create connect<=0 "
                                     "errno 17--File exists"));

        EXPECT_EQ(0, platform_manager_dmi_delete("utran0"));
        EXPECT_EQ("DMI_DELETE name=utran0 = 0", root.journal().back());
        EXPECT_EQ(-1, platform_manager_dmi_delete("utran0"));
        EXPECT_EQ("DMI_DELETE name=utran0 = -1 ENOENT", root.journal().back());
        EXPECT_EQ(1, modem_error("dmi_delete failed \n"));
        EXPECT_EQ(2, korvtest::count_log_part("[ATIEXT]"));  // none for the delete
    });
}

TEST(Dmi, OperationsExportedFromExecutable) {
    std::string out;
    ASSERT_EQ(0, korvtest::run_tool(
                     {"/usr/bin/nm", "-D", "--defined-only", korvtest::bin_path("korv")}, &out));
    for (const char *name : {"platform_manager_dmi_create", "platform_manager_hs_dmi_create",
                             "platform_manager_dmi_delete"})
        EXPECT_NE(std::string::npos, out.find(std::string(" T ") + name + "\n")) << name;
}
