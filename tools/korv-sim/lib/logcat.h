// The simulated phone's logcat: reading the log buffers the liblog stand-in
// writes below the root (platform/sim/liblog/radio_log.h) and printing their
// entries as `logcat -v threadtime` does.
#ifndef KORVSIM_LOGCAT_H
#define KORVSIM_LOGCAT_H

#include <stdio.h>

#include <string>
#include <vector>

namespace korvsim {

/* The file of buffer `name` ("radio", "main", ...) in a root. */
std::string logcat_buffer_path(const std::string &root, const std::string &name);

/* Renders the complete entries at the start of `data`, one threadtime line
 * per line of text ("MM-DD HH:MM:SS.mmm  PID  TID P TAG     : text", local
 * time).  Returns the bytes consumed; a torn entry at the end is left for
 * later, a malformed one stops the reading with *bad set. */
size_t logcat_render(const std::string &data, std::vector<std::string> *lines, bool *bad);

/* korv-sim logcat: prints buffer `name` of the root to out; 0, or -1 with a
 * message in *err (no such buffer, a malformed entry). */
int logcat_print(const std::string &root, const std::string &name, FILE *out, std::string *err);

}  // namespace korvsim

#endif
