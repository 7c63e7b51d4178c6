// NVRAM store: bring-up into the modem cache, the MA -> BA backup, and
// bring-up failures injected through the adapter's fault hook.
#include <gtest/gtest.h>

#include "nv_child.h"

using namespace nvtest;

namespace {

std::string pattern(size_t n, int mul) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) s[i] = (char)((i * mul + 1) & 0xFF);
    return s;
}

TEST(NvramStore, InitFillsTheCacheOnceAndRecordsSuccess) {
    nv_root root;
    root.write("/dev/modem.conf", "nvram_size = 0x2000\n");  // smaller than MA
    const std::string ma = root.read(MA_FILE);
    ASSERT_GT(ma.size(), 0x2000u);
    ASSERT_TRUE(root.run([&] {
        EXPECT_EQ(nv_up(), 0u);
        EXPECT_EQ(tp_nvram_init(), 0u);  // a second init only logs
        EXPECT_EQ(g_nvram_inited, 1u);
        EXPECT_EQ(nv_cfg_file_size, ma.size());
    }));
    const std::string mem = root.path("/dev/modem");
    EXPECT_EQ(read_range(mem, 0x800000, 0x2000), ma.substr(0, 0x2000));
    EXPECT_EQ(read_range(mem, 0x802000, 16), std::string(16, '\0'));
    EXPECT_EQ(root.read(NV_LOG_FILE), std::string(4, '\0'));
    EXPECT_NE(root.logged().find("NVRAM manager has been initializd."), std::string::npos);
}

TEST(NvramStore, BackupCopiesMaOverBaOnlyForWholePageDifferences) {
    const std::string a = pattern(8192, 7), tail = pattern(4196, 7);
    std::string page1 = a, tail_ba = tail;
    page1[5000] ^= 0x55;
    tail_ba[4150] ^= 0x55;
    const struct {
        const char *name;
        std::string ma, ba, ba_after;
        int differ_lines, copy_lines;
    } cases[] = {
        {"page differs", a, page1, a, 1, 1},
        {"tail differs", tail, tail_ba, tail_ba, 0, 0},
        {"below a page", pattern(4000, 7), pattern(4000, 3), pattern(4000, 3), 0, 0},
        {"BA short", a, a.substr(0, 4096), a, 0, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        nv_root root;
        root.write(MA_FILE, c.ma);
        root.write(BA_FILE, c.ba);
        ASSERT_TRUE(root.run([] {
            tp_nvram_open_files();
            EXPECT_EQ(tp_nvram_backup_param_setting(), 0u);
        }));
        EXPECT_TRUE(root.read(BA_FILE) == c.ba_after);
        EXPECT_EQ(korvtest::count_of(root.logged(), "[NV][FLOW]: MA != BA!"), c.differ_lines);
        EXPECT_EQ(korvtest::count_of(root.logged(), "[NV][FLOW]: Copy MA to BA."), c.copy_lines);
    }
}

TEST(NvramStore, FailedCreationTearsDownAndRecordsFailureWhereDue) {
    const struct {
        const char *fault, *line;
        bool status;
    } cases[] = {
        {"mutex:nvram_flush_mutex", "[NV][FLOW]: Mutex create error!", true},
        {"mutex:nvram_da_mutex", "[NV][FLOW]: Mutex nvram_da_mutex create error!", false},
        {"queue:NV_Q", "[NV][FLOW]: Queue create error!", true},
        {"thread:thread_man_nvram", "[NV][FLOW]: Thread create error!", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.fault);
        nv_root root;
        std::string ba = root.read(BA_FILE);
        ba[100] ^= 0x55;  // teardown's backup must restore it
        root.write(BA_FILE, ba);
        ASSERT_TRUE(root.run([&] {
            kor_fault_set(c.fault);
            EXPECT_EQ(nv_up(), 0xFFFFFFFFu);
            EXPECT_EQ(g_nvram_inited, 0u);
            EXPECT_EQ(g_nvram_buffer_ptr, nullptr);
        }));
        EXPECT_NE(root.logged().find(c.line), std::string::npos);
        EXPECT_TRUE(root.read(BA_FILE) == root.read(MA_FILE));
        EXPECT_EQ(root.read(NV_LOG_FILE), c.status ? std::string("\x01\0\0\0", 4) : std::string(4, '\xff'));
    }
}

}  // namespace
