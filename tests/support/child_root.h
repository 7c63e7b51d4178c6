// Unit scenarios that call the daemon's code directly run each in a forked
// child on a simulated root: KORV_ROOT and KORV_LOG_FILE are read once per
// process, and the daemon's statics live as long as it.  The parent then
// checks what the child left behind (log, files, journal, properties).
#ifndef KORV_TEST_CHILD_ROOT_H
#define KORV_TEST_CHILD_ROOT_H

#include <functional>
#include <string>

#include "harness.h"

namespace korvtest {

// Runs body in a forked child; its failures print there and fail the calling
// test.  True when it passed.
bool in_child(const std::function<void()> &body);

// A simulated root whose scenarios run in children logging to one file.
struct child_root : sim_root {
    const std::string log_path = dir + "/unit.log";

    explicit child_root(bool populate = true) : sim_root(populate) {}
    // Runs body in a child with KORV_ROOT and KORV_LOG_FILE on this root and
    // the adapter's log opened.
    bool run(const std::function<void()> &body) const;
    // What the children logged so far.
    std::string logged() const { return read_file(log_path); }
};

}  // namespace korvtest

#endif
