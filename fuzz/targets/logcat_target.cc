/* Fuzz target "logcat": a simulated phone's log buffer as korv-sim reads it
 * (logcat_render, used by korv-sim logcat and the simulated init's
 * forwarder).  The input is the buffer.  Checked: what is consumed is whole
 * entries within the input; every line has logcat's threadtime prefix; a
 * buffer fed in two pieces, the second read from where the first stopped (as
 * the forwarder does), gives the same lines as read at once. */
#include <string.h>

#include <string>
#include <vector>

#include "fuzz/targets/fuzz_targets.h"
#include "logcat.h"
#include "platform/sim/liblog/radio_log.h"

#define CHECK(cond) KORV_FUZZ_CHECK("logcat", cond)

/* "MM-DD HH:MM:SS.mmm " and, after pid, tid, priority and tag, ": ". */
static bool threadtime_shaped(const std::string &line)
{
    if (line.size() < 33) return false;
    for (size_t i : {0, 1, 3, 4, 6, 7, 9, 10, 12, 13, 15, 16, 17})
        if (line[i] < '0' || line[i] > '9') return false;
    return line[2] == '-' && line[5] == ' ' && line[14] == '.' && line.find(": ", 18) != std::string::npos;
}

static int logcat_fuzz_one(const uint8_t *data, size_t size)
{
    const std::string buffer((const char *)data, size);
    std::vector<std::string> whole;
    bool bad = false;
    size_t used = korvsim::logcat_render(buffer, &whole, &bad);
    CHECK(used <= size);
    for (size_t at = 0; at < used;) {
        radio_log_head_st head;
        CHECK(used - at >= sizeof head);
        memcpy(&head, buffer.data() + at, sizeof head);
        at += sizeof head + head.payload;
        CHECK(at <= used);
    }
    for (const auto &line : whole) CHECK(threadtime_shaped(line));

    std::vector<std::string> pieces;
    bool bad_first = false, bad_rest = false;
    size_t cut = size / 2;
    size_t first = korvsim::logcat_render(buffer.substr(0, cut), &pieces, &bad_first);
    if (!bad_first) {
        korvsim::logcat_render(buffer.substr(first), &pieces, &bad_rest);
        CHECK(pieces == whole);
        CHECK(bad_rest == bad);
    }
    return 0;
}

const korv_fuzz_target korv_fuzz_logcat = {"logcat", NULL, logcat_fuzz_one};
