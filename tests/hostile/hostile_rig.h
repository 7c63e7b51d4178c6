/* Rig of the hostile tests: korv on a simulated phone with fwmd as the peer,
 * korv's standard error kept in a file of its own (sanitizer reports go
 * there, the log does not), the exception FIFO's write end held open, and
 * the measures a hostile test judges korv by: still running, no sanitizer
 * report, no fault signal caught by its exit handler, bounded memory,
 * threads and descriptors. */
#ifndef KORV_TEST_HOSTILE_RIG_H
#define KORV_TEST_HOSTILE_RIG_H

#include <stdint.h>

#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "fwmd.h"
#include "harness.h"
#include "kor_msg_cmd.h"

namespace hostile {

using props = std::vector<std::pair<std::string, std::string>>;

/* Device paths and texts several tests share. */
extern const std::string MA_FILE;
extern const std::string UTRAN_DIR;
extern const std::string LTEP2P_DIR;
extern const char *const EXC_CLAIMED;  /* exception accepted: "...exception flag:" */
extern const char *const EXC_IGNORED;  /* exception ignored while one is handled */
extern const char *const POLL_TICK;    /* one tick of the dump-completion poll */

struct rig {
    korvtest::sim_root root;
    fwmd_server *fw = nullptr;
    std::unique_ptr<korvtest::korv_proc> korv;
    int socbridge_w = -1;
    std::string stderr_path;

    /* Properties are set before korv starts.  Without fwmd korv is pointed
     * at the given ports (free ones when 0) and nobody listens there. */
    explicit rig(const props &initial = {}, bool with_fwmd = true, int work_port = 0,
                 int nv_port = 0);
    ~rig();
    rig(const rig &) = delete;
    rig &operator=(const rig &) = delete;

    /* The exception channel is set up and, with fwmd, both links are up. */
    bool up();
    int send(int channel, uint32_t cmd, const fwmd_body &body, uint64_t wf_id = 0);
    int send_raw(int channel, const std::string &bytes);
    /* One confirmation of cmd on the channel, or an empty message. */
    fwmd_msg expect(int channel, uint32_t cmd, int timeout_ms = 15000);
    /* A waveform type indication of no known type is only logged: once its
     * line is there, the work looper has taken everything sent before it. */
    bool work_alive();
    /* A load request for a waveform nobody described, answered with count 0:
     * the NV channel and its looper are alive. */
    bool nv_alive();
    /* Writes all of bytes into the exception FIFO, waiting for korv to take
     * them (upper bound on the wait); false when it stopped reading. */
    bool feed_socbridge(const std::string &bytes, int timeout_ms = 60000);
    /* Bytes written into the exception FIFO that korv has not read yet. */
    int socbridge_pending() const;

    /* What korv wrote to standard error that a sanitizer or a fault left. */
    std::string crash_report() const;
    long status_field(const char *name) const; /* /proc/PID/status, -1 when gone */
    long rss_kb() const { return status_field("VmRSS:"); }
    long threads() const { return status_field("Threads:"); }
    int open_fds() const;
    int count(const std::string &text) const { return korv->count(text); }
};

/* gtest checks every hostile test ends with: korv still running (or, with
 * may_have_exited, ended with status 0 through its exit path), nothing on
 * standard error from a sanitizer, no fault signal in its log. */
void expect_clean(rig &r, bool may_have_exited = false);

/* Message bytes with header fields as given (they may lie), body appended. */
std::string message(uint64_t len, uint64_t body_len, uint64_t cmd, const std::string &body,
                    uint64_t wf_id = 0, uint16_t src = 1, uint16_t dst = 2);
/* A message whose header tells the truth. */
std::string honest(uint64_t cmd, const std::string &body, uint64_t wf_id = 0);
/* The 4-byte big-endian length in front of a record. */
std::string frame(const std::string &record);
std::string body_bytes(const fwmd_body &b);
std::string random_bytes(std::mt19937 &rng, size_t n);

fwmd_body path_info(uint32_t wf_id, const std::string &wf_path, const std::string &nv_file,
                    const std::string &wf_name = "wf");
/* One NV-modify entry appended to b (N is the caller's). */
fwmd_body &nv_entry(fwmd_body &b, uint32_t wf_id, uint32_t offset, const std::string &data);
fwmd_body load_req(uint32_t req_len, uint32_t read_len, uint32_t dst, uint32_t file_len,
                   uint32_t name_len, const std::string &name_bytes);
/* An exception-channel record: "ME", u32 type, u32 length field, payload. */
std::string soc_record(uint32_t type, const std::string &payload, uint32_t length_field);
inline std::string soc_record(uint32_t type, const std::string &payload) {
    return soc_record(type, payload, static_cast<uint32_t>(payload.size()));
}
/* Count field of a load confirmation. */
uint32_t load_count(const fwmd_msg &cnf);
/* len bytes of the host file at offset. */
std::string file_range(const std::string &path, long offset, size_t len);

}  // namespace hostile

#endif
