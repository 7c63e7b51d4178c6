/* NVRAM store: bring-up into the modem cache, the MA -> BA backup, and
 * bring-up failures injected through the adapter's fault hook. */
#include <gtest/gtest.h>

#include "kor_os.h"
#include "nv_child.h"
#include "nvram/nvram.h"

using namespace nvtest;
using korvtest::sim_root;

namespace {

std::string pattern(size_t n, int mul) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) s[i] = (char)((i * mul + 1) & 0xFF);
    return s;
}

TEST(NvramStore, InitFillsTheCacheOnceAndRecordsSuccess) {
    sim_root root;
    const std::string log = root.dir + "/nv.log";
    root.write("/dev/modem.conf", "nvram_size = 0x2000\n"); /* smaller than MA */
    const std::string ma = root.read(MA_FILE);
    ASSERT_GT(ma.size(), 0x2000u);

    std::string out = in_child(root, log, [] {
        uint32_t first = nv_up();
        uint32_t second = tp_nvram_init();
        return std::to_string(first) + " " + std::to_string(second) + " " +
               std::to_string(g_nvram_inited) + " " + std::to_string(nv_cfg_file_size);
    });
    EXPECT_EQ(out, "0 0 1 " + std::to_string(ma.size()));
    const std::string mem = root.path("/dev/modem");
    EXPECT_EQ(read_range(mem, 0x800000, 0x2000), ma.substr(0, 0x2000));
    EXPECT_EQ(read_range(mem, 0x802000, 16), std::string(16, '\0'));
    EXPECT_EQ(root.read(NV_LOG_FILE), std::string(4, '\0'));
    EXPECT_NE(korvtest::read_file(log).find("NVRAM manager has been initializd."),
              std::string::npos);
}

struct backup_case {
    const char *name;
    std::string ma, ba, ba_after;
    int differ_lines, copy_lines;
};

TEST(NvramStore, BackupCopiesMaOverBaOnlyForWholePageDifferences) {
    const std::string a = pattern(8192, 7);
    std::string page1 = a, tail = pattern(4196, 7), small = pattern(4000, 7);
    page1[5000] ^= 0x55;
    std::string tail_ba = tail;
    tail_ba[4150] ^= 0x55;
    const std::vector<backup_case> cases = {
        {"page differs", a, page1, a, 1, 1},
        {"tail differs", tail, tail_ba, tail_ba, 0, 0},
        {"below a page", small, pattern(4000, 3), pattern(4000, 3), 0, 0},
        {"BA short", a, a.substr(0, 4096), a, 0, 1},
    };
    for (const backup_case &c : cases) {
        SCOPED_TRACE(c.name);
        sim_root root;
        const std::string log = root.dir + "/nv.log";
        root.write(MA_FILE, c.ma);
        root.write(BA_FILE, c.ba);
        std::string out = in_child(root, log, [] {
            tp_nvram_open_files();
            return std::to_string(tp_nvram_backup_param_setting());
        });
        EXPECT_EQ(out, "0");
        EXPECT_TRUE(root.read(BA_FILE) == c.ba_after);
        const std::string text = korvtest::read_file(log);
        auto count = [&](const std::string &part) {
            int n = 0;
            for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
                n++;
            return n;
        };
        EXPECT_EQ(count("[NV][FLOW]: MA != BA!"), c.differ_lines);
        EXPECT_EQ(count("[NV][FLOW]: Copy MA to BA."), c.copy_lines);
    }
}

TEST(NvramStore, FailedCreationTearsDownAndRecordsFailureWhereDue) {
    struct fault_case {
        const char *fault, *line;
        bool status;
    };
    const fault_case cases[] = {
        {"mutex:nvram_flush_mutex", "[NV][FLOW]: Mutex create error!", true},
        {"mutex:nvram_da_mutex", "[NV][FLOW]: Mutex nvram_da_mutex create error!", false},
        {"queue:NV_Q", "[NV][FLOW]: Queue create error!", true},
        {"thread:thread_man_nvram", "[NV][FLOW]: Thread create error!", true},
    };
    for (const fault_case &c : cases) {
        SCOPED_TRACE(c.fault);
        sim_root root;
        const std::string log = root.dir + "/nv.log";
        std::string ba = root.read(BA_FILE);
        ba[100] ^= 0x55; /* teardown's backup must restore it */
        root.write(BA_FILE, ba);
        const char *fault = c.fault;
        std::string out = in_child(root, log, [fault] {
            kor_fault_set(fault);
            uint32_t rc = nv_up();
            return std::to_string(rc) + " " + std::to_string(g_nvram_inited) + " " +
                   std::to_string(g_nvram_buffer_ptr == nullptr);
        });
        EXPECT_EQ(out, "4294967295 0 1");
        EXPECT_NE(korvtest::read_file(log).find(c.line), std::string::npos);
        EXPECT_TRUE(root.read(BA_FILE) == root.read(MA_FILE));
        EXPECT_EQ(root.read(NV_LOG_FILE),
                  c.status ? std::string("\x01\0\0\0", 4) : std::string(4, '\xff'));
    }
}

}  // namespace
