/* Replays every fuzz target's seed corpus and regression inputs
 * (fuzz/corpus/<target>, fuzz/regressions/<target>) through the entry points
 * the libFuzzer build drives, so that the inputs of past findings keep
 * passing in the ordinary sanitizer build.  A target keeps process-wide
 * daemon state, so each one runs in a child process of its own; a crash, a
 * sanitizer report, a broken invariant (abort) or a leak fails the child. */
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fuzz/targets/fuzz_targets.h"
#include "harness.h"

/* Present in sanitizer builds only. */
extern "C" int __lsan_do_recoverable_leak_check(void) __attribute__((weak));

namespace {

#define CHILD_LEAKED 3

/* The files of dir (none when it is missing), hidden ones left out, sorted. */
std::vector<std::string> files_in(const std::string &dir)
{
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(dir, ec))
        if (e.path().filename().string()[0] != '.') files.push_back(e.path());
    std::sort(files.begin(), files.end());
    return files;
}

/* Child: runs the inputs on the target; its exit status tells how it went. */
[[noreturn]] void replay(const korv_fuzz_target *t, const std::vector<std::string> &inputs)
{
    korv_fuzz_start(t);
    for (const std::string &path : inputs) {
        std::string data = korvtest::read_file(path);
        t->one(reinterpret_cast<const uint8_t *>(data.data()), data.size());
    }
    int leaked = __lsan_do_recoverable_leak_check != nullptr && __lsan_do_recoverable_leak_check() != 0;
    korv_fuzz_root_remove();
    _exit(leaked ? CHILD_LEAKED : 0);
}

class FuzzReplay : public ::testing::TestWithParam<const char *> {};

TEST_P(FuzzReplay, SeedsAndRegressionsRunClean)
{
    const korv_fuzz_target *t = korv_fuzz_find(GetParam());
    ASSERT_NE(t, nullptr);
    std::string dir = KORV_FUZZ_DIR;
    std::vector<std::string> inputs = files_in(dir + "/corpus/" + GetParam());
    ASSERT_FALSE(inputs.empty()) << "no seed corpus for " << GetParam();
    for (const std::string &r : files_in(dir + "/regressions/" + GetParam())) inputs.push_back(r);

    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) replay(t, inputs);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << GetParam() << " died of signal " << WTERMSIG(status);
    EXPECT_NE(WEXITSTATUS(status), CHILD_LEAKED) << GetParam() << " leaked memory";
    EXPECT_EQ(WEXITSTATUS(status), 0) << GetParam() << " failed on one of its inputs";
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay,
                         ::testing::Values("cfg", "record", "work", "nv", "utran", "socbridge", "ini", "path", "ctl",
                                           "pcapng", "logcat", "logfmt"),
                         [](const ::testing::TestParamInfo<const char *> &info) { return std::string(info.param); });

}  // namespace
