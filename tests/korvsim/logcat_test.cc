/* The simulated phone's logcat: entries written through the liblog stand-in
 * read back with korv-sim logcat, and the demonstration played by a korv
 * whose adapter logs through liblog (the adapter built with the liblog sink
 * first on the library path; korv and korv-sim unchanged). */
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <android/log.h>

#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

namespace {

namespace fs = std::filesystem;

const std::regex k_threadtime(R"(^\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} +(\d+) +(\d+) ([VDIWEF]) (\S+) *: (.*)$)");

int logcat(const std::string &root, std::vector<std::string> extra, std::string *out) {
    std::vector<std::string> argv = {korvtest::bin_path("korv-sim"), "logcat", root};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return korvtest::run_tool(argv, out);
}

TEST(Logcat, StandInEntriesReadBackAsThreadtime) {
    korvtest::sim_root root(false);
    fs::create_directories(root.path("/dev/log"));
    ASSERT_EQ(setenv("KORV_ROOT", root.dir.c_str(), 1), 0);
    EXPECT_GT(__android_log_buf_write(LOG_ID_RADIO, ANDROID_LOG_ERROR, "korv", "first: error"), 0);
    EXPECT_GT(__android_log_buf_write(LOG_ID_RADIO, ANDROID_LOG_DEBUG, "korv", "two\nlines"), 0);
    std::thread([] { __android_log_buf_write(LOG_ID_RADIO, ANDROID_LOG_INFO, "a-long-tag", "other thread"); })
        .join();
    unsetenv("KORV_ROOT");
    EXPECT_EQ(__android_log_buf_write(LOG_ID_RADIO, ANDROID_LOG_INFO, "korv", "nowhere"), -EBADF);

    std::string out;
    ASSERT_EQ(logcat(root.dir, {"-b", "radio"}, &out), 0) << out;
    std::vector<std::string> lines = korvtest::split_lines(out);
    ASSERT_EQ(lines.size(), 4u) << out;
    std::vector<std::smatch> m(4);
    for (size_t i = 0; i < 4; i++) ASSERT_TRUE(std::regex_match(lines[i], m[i], k_threadtime)) << lines[i];
    EXPECT_EQ(m[0][1], std::to_string(getpid()));
    EXPECT_EQ(m[0][2], std::to_string(gettid()));
    EXPECT_EQ(m[0][3], "E");
    EXPECT_EQ(m[0][5], "first: error");
    EXPECT_NE(lines[0].find(" E korv    : first"), std::string::npos) << "tag padded to 8 as logcat does";
    EXPECT_EQ(m[1][3], "D");
    EXPECT_EQ(m[1][5], "two");
    EXPECT_EQ(m[2][5], "lines") << "each line of a text gets the entry's prefix";
    EXPECT_EQ(m[3][3], "I");
    EXPECT_EQ(m[3][4], "a-long-tag");
    EXPECT_NE(m[3][2], m[0][2]);

    /* A torn last entry is still being written: not shown, no error.  A head
     * that claims more than an entry may hold is malformed. */
    std::string buffer = root.read("/dev/log/radio");
    root.write("/dev/log/radio", buffer + buffer.substr(0, 25));
    ASSERT_EQ(logcat(root.dir, {}, &out), 0) << out;
    EXPECT_EQ(korvtest::split_lines(out).size(), 4u);
    root.write("/dev/log/radio", buffer + std::string(20, '\xff'));
    EXPECT_EQ(logcat(root.dir, {}, &out), 1);
    EXPECT_EQ(korvtest::split_lines(out).size(), 4u) << "entries before the bad one are printed";

    EXPECT_EQ(logcat(root.dir, {"-b", "main"}, &out), 1) << "no main buffer was written";
    EXPECT_EQ(logcat(root.dir, {"-b", "../../etc/passwd"}, &out), 1);
    EXPECT_EQ(logcat(root.dir, {"-b"}, &out), 2);
}

TEST(Logcat, DemoWithTheLiblogSinkShowsKorvsLines) {
    const std::string keep = "/tmp/korv-logcat-demo-" + std::to_string(getpid());
    const std::string liblog_adapter = fs::canonical(korvtest::bin_path("../lib/liblog")).string();
    std::string out;
    int rc = korvtest::run_tool({korvtest::bin_path("korv-sim"), "demo", "--keep", keep}, &out,
                                {"LD_LIBRARY_PATH=" + liblog_adapter}, 120000);
    ASSERT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("korv's log  radio buffer (korv-sim logcat " + keep + ")"), std::string::npos) << out;
    EXPECT_EQ(korvtest::read_file(keep + "/korv.log"), "") << "no line went to the file or standard error";

    std::string cat;
    ASSERT_EQ(logcat(keep, {}, &cat), 0) << cat;
    std::vector<std::string> lines = korvtest::split_lines(cat);
    ASSERT_GT(lines.size(), 50u);
    size_t errors = 0, flow = 0;
    std::smatch m;
    for (const auto &l : lines) {
        ASSERT_TRUE(std::regex_match(l, m, k_threadtime)) << l;
        if (m[4] != "korv") continue;
        errors += m[3] == "E";
        flow += m[3] == "D";
        EXPECT_FALSE(std::regex_search(l.substr(l.find(": ") + 2), std::regex(R"(^\d\d-\d\d \d\d:)")))
            << "korv's own prefix in the text: " << l;
    }
    EXPECT_GT(errors, 0u);
    EXPECT_GT(flow, 0u);
    EXPECT_NE(cat.find(" D korv    : ----KORV ENTRY version: "), std::string::npos) << cat;
    EXPECT_GE(korvtest::count_of(cat, "----KORV ENTRY version: "), 2) << "both starts of korv";
    EXPECT_NE(cat.find("korv    : korv main thread begin to sleep"), std::string::npos);
    fs::remove_all(keep);
}

}  // namespace
