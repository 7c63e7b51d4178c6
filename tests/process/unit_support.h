// Support for the daemon's unit tests: the daemon's log lines captured in
// memory (this executable's tp_os_str_printf wins over the adapter's), and
// scenarios run in a child process on a fresh root, because KORV_ROOT is
// read once per process and the daemon's statics live as long as it.
#ifndef KORV_UNIT_SUPPORT_H
#define KORV_UNIT_SUPPORT_H

#include "child_root.h"

namespace korvtest {

void clear_logs();
// Number of captured lines whose text is exactly text, with this module and level.
int count_log(int module, int level, const std::string &text);
// Number of captured lines that contain part.
int count_log_part(const std::string &part);

// Runs body in a child process on a fresh root (populated like korv-sim's
// when asked), as child_root does.
void in_child_root(bool populate, const std::function<void(const sim_root &)> &body);

}  // namespace korvtest

#endif
