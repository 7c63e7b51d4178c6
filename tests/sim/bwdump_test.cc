// The dump tool stand-in, run as korv runs it: a separate process that finds
// the root through KORV_ROOT.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include <gtest/gtest.h>

#include "harness.h"

namespace {

int bw_dump(const korvtest::sim_root &root, const std::vector<std::string> &args) {
    std::vector<std::string> argv = {root.path("/system/bin/bw-dump")};
    argv.insert(argv.end(), args.begin(), args.end());
    return korvtest::run_tool(argv, nullptr, {"KORV_ROOT=" + root.dir});
}

std::vector<std::string> dumps(const korvtest::sim_root &root) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(root.path("/data/brimwell/dump"), ec))
        names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

TEST(BwDump, DumpsMemoryKeepsThreeReportsCompletionAndHonoursItsKnobs) {
    korvtest::sim_root root;
    int fd = open(root.path("/dev/modem").c_str(), O_WRONLY);
    ASSERT_EQ(5, pwrite(fd, "HEAD!", 5, 0));
    ASSERT_EQ(4, pwrite(fd, "TAIL", 4, (64 << 20) - 4));
    ASSERT_EQ(3, pwrite(fd, "MID", 3, 0x800123));
    close(fd);

    ASSERT_EQ(0, bw_dump(root, {"-l", "1", "-r", "0"}));
    EXPECT_EQ("1", root.prop("persist.brimwell.dump.finish"));
    auto first = dumps(root);
    ASSERT_EQ(1u, first.size());
    EXPECT_EQ(0u, first[0].find("modem-"));
    std::string dump = root.path("/data/brimwell/dump/" + first[0]);
    EXPECT_EQ(std::string("HEAD!\0", 6), korvtest::read_range(dump, 0, 6));
    EXPECT_EQ(std::string("\0MID\0", 5), korvtest::read_range(dump, 0x800122, 5));
    EXPECT_EQ("TAIL", korvtest::read_range(dump, (64 << 20) - 4, 8));  // and nothing beyond
    struct stat st;
    stat(dump.c_str(), &st);
    EXPECT_LT(st.st_blocks * 512, 1 << 20) << "holes were copied";

    for (int i = 0; i < 3; i++) ASSERT_EQ(0, bw_dump(root, {"-r", "1", "-l", "1"}));
    auto kept = dumps(root);
    EXPECT_EQ(3u, kept.size());
    EXPECT_EQ(kept.end(), std::find(kept.begin(), kept.end(), first[0])) << "oldest kept";
    std::vector<std::string> calls = {"bw-dump -l 1 -r 0", "bw-dump -r 1 -l 1",
                                      "bw-dump -r 1 -l 1", "bw-dump -r 1 -l 1"};
    EXPECT_EQ(calls, korvtest::split_lines(root.read("/dev/bw-dump.log")));

    // Knobs: never report completion, report it late; bad arguments.
    root.set_prop("sim.bwdump.never", "1");
    root.set_prop("persist.brimwell.dump.finish", "0");
    ASSERT_EQ(0, bw_dump(root, {"-l", "0", "-r", "1"}));
    EXPECT_EQ("0", root.prop("persist.brimwell.dump.finish"));
    EXPECT_EQ(kept, dumps(root));  // -l 0: no dump

    root.set_prop("sim.bwdump.never", "0");
    root.set_prop("sim.bwdump.delay_ms", "30");
    ASSERT_EQ(0, bw_dump(root, {"-l", "0", "-r", "1"}));
    EXPECT_EQ("1", root.prop("persist.brimwell.dump.finish"));

    root.set_prop("persist.brimwell.dump.finish", "0");
    EXPECT_EQ(2, bw_dump(root, {"-l", "2", "-r", "1"}));
    EXPECT_EQ(2, bw_dump(root, {"-l", "1"}));
    EXPECT_EQ("0", root.prop("persist.brimwell.dump.finish"));
    EXPECT_EQ(8u, korvtest::split_lines(root.read("/dev/bw-dump.log")).size());
}
