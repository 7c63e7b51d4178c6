// Log capture and child-process scenarios for the daemon's unit tests.
#include "unit_support.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include <mutex>

namespace {
struct log_line {
    int module;
    int level;
    std::string text;
};
std::mutex s_log_mutex;  // guards s_logs: the adapter may log from its threads
std::vector<log_line> s_logs;

int count_if(const std::function<bool(const log_line &)> &match) {
    std::lock_guard<std::mutex> lock(s_log_mutex);
    int n = 0;
    for (const auto &l : s_logs) n += match(l);
    return n;
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
    return count_if([&](const log_line &l) { return l.module == module && l.level == level && l.text == text; });
}

int count_log_part(const std::string &part) {
    return count_if([&](const log_line &l) { return l.text.find(part) != std::string::npos; });
}

void in_child_root(bool populate, const std::function<void(const sim_root &)> &body) {
    child_root root(populate);
    root.run([&] { body(root); });
}

}  // namespace korvtest
