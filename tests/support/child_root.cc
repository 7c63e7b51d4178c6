// The child helper of the unit tests (child_root.h).
#include "child_root.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "kor_os.h"

namespace korvtest {

bool in_child(const std::function<void()> &body) {
    fflush(stdout);
    const testing::TestResult *result = testing::UnitTest::GetInstance()->current_test_info()->result();
    pid_t pid = fork();
    if (pid == 0) {
        // The child inherits the parent's failures so far: only later ones count.
        const int before = result->total_part_count();
        body();
        fflush(stdout);
        for (int i = before; i < result->total_part_count(); i++)
            if (result->GetTestPartResult(i).failed()) _exit(1);
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    const bool passed = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    EXPECT_TRUE(passed) << "the scenario failed in its child process (see above)";
    return passed;
}

bool child_root::run(const std::function<void()> &body) const {
    return in_child([&] {
        setenv("KORV_ROOT", dir.c_str(), 1);
        setenv("KORV_LOG_FILE", log_path.c_str(), 1);
        tp_os_log_init(0);
        body();
    });
}

}  // namespace korvtest
