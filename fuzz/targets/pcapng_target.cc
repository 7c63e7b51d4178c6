/* Fuzz target "pcapng": fwmd's reader of korv's traffic captures
 * (fwmd_pcapng_parse) and its one-line rendering of each record
 * (fwmd_capture_line).  The input is the file.
 *
 * Checked (besides the sanitizers' watch over every read): a refusal says
 * why; every record found holds no more bytes than the input, names a known
 * link or none and a direction of two bits; each renders as one line unless
 * its own comment holds a newline. */
#include <string.h>

#include <string>
#include <vector>

#include "fuzz/targets/fuzz_targets.h"
#include "fwmd.h"

#define CHECK(cond) KORV_FUZZ_CHECK("pcapng", cond)

static int pcapng_fuzz_one(const uint8_t *data, size_t size)
{
    std::vector<fwmd_capture_rec> recs;
    std::string err;
    int rc = fwmd_pcapng_parse(data, size, &recs, &err);
    CHECK(rc == 0 || !err.empty());
    for (const fwmd_capture_rec &r : recs) {
        CHECK(r.frame.size() <= size);
        CHECK(r.channel >= -1 && r.channel <= FWMD_NV);
        CHECK(r.direction >= 0 && r.direction <= 3);
        CHECK(r.comment.size() <= size);
        std::string line = fwmd_capture_line(r, recs[0].ts_us);
        CHECK(line.find('\n') == std::string::npos || r.comment.find('\n') != std::string::npos);
    }
    return 0;
}

const korv_fuzz_target korv_fuzz_pcapng = {"pcapng", NULL, pcapng_fuzz_one};
