/* Log capture and child-process scenarios for the daemon's unit tests. */
#include "unit_support.h"

#include <gtest/gtest.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <mutex>

#include "sim_root.h"

namespace {
struct log_line {
    int module;
    int level;
    std::string text;
};
std::mutex s_log_mutex;  // guards s_logs: the adapter may log from its threads
std::vector<log_line> s_logs;

std::vector<log_line> logs() {
    std::lock_guard<std::mutex> lock(s_log_mutex);
    return s_logs;
}
}  // namespace

extern "C" void tp_os_str_printf(int module, int level, const char *format, ...) {
    char text[4096];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    std::lock_guard<std::mutex> lock(s_log_mutex);
    s_logs.push_back({module, level, text});
}

namespace korvtest {

void clear_logs() {
    std::lock_guard<std::mutex> lock(s_log_mutex);
    s_logs.clear();
}

int count_log(int module, int level, const std::string &text) {
    int n = 0;
    for (const auto &l : logs()) n += l.module == module && l.level == level && l.text == text;
    return n;
}

int count_log_part(const std::string &part) {
    int n = 0;
    for (const auto &l : logs()) n += l.text.find(part) != std::string::npos;
    return n;
}

/* Failed parts of the running test from index `from` on: a child inherits
 * the failures its parent had before the fork and must not count them. */
static bool s_failed_since(int from) {
    const ::testing::TestResult *r =
        ::testing::UnitTest::GetInstance()->current_test_info()->result();
    for (int i = from; i < r->total_part_count(); i++)
        if (r->GetTestPartResult(i).failed()) return true;
    return false;
}

void in_child_root(bool populate, const std::function<void(const sim_root &)> &body) {
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        const int before =
            ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
        {
            sim_root root(false);
            setenv("KORV_ROOT", root.dir.c_str(), 1);
            std::string err;
            if (populate && korv_sim_init(root.dir, &err) != 0)
                ADD_FAILURE() << "korv_sim_init: " << err;
            else
                body(root);
        }
        fflush(stdout);
        _exit(s_failed_since(before) ? 1 : 0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the scenario failed in its child process (status " << status << ", see above)";
}

}  // namespace korvtest
