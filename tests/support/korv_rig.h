// The rig of the end-to-end tests and the benchmarks: korv on a fresh
// simulated root, linked to an fwmd on both channels (or pointed at ports the
// caller listens on).  The exception FIFO's write end is held open for
// korv's whole life: a FIFO without writers reads end of file at once and
// for ever.
#ifndef KORV_TEST_KORV_RIG_H
#define KORV_TEST_KORV_RIG_H

#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fwmd.h"
#include "harness.h"
#include "kor_msg_cmd.h"

namespace korvtest {

using props = std::vector<std::pair<std::string, std::string>>;

// How the rig starts korv.
struct rig_opts {
    props initial;                // properties set before korv starts
    int work_port = 0;            // given: korv is pointed there and no fwmd listens
    int nv_port = 0;
    bool capture_stderr = false;  // korv's stdout and stderr into stderr_path
    std::string log_path;         // "": a file of its own; "/dev/null" for no log
    std::vector<std::string> env; // extra "NAME=value" entries
};

struct korv_rig {
    sim_root root;
    fwmd_server *fw = nullptr;
    std::unique_ptr<korv_proc> korv;
    int socbridge_w = -1;
    std::string stderr_path;  // set with capture_stderr

    explicit korv_rig(const props &initial = {}) : korv_rig(rig_opts{initial, 0, 0, false, "", {}}) {}
    explicit korv_rig(const rig_opts &o) {
        for (const auto &p : o.initial) root.set_prop(p.first, p.second);
        socbridge_w = open(root.path("/dev/socbridge").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        korv_opts k{{}, o.env, o.work_port, o.nv_port, o.log_path, ""};
        if (o.work_port == 0) {
            if ((fw = fwmd_start(0, 0)) == nullptr) return;
            k.work_port = fwmd_port(fw, FWMD_WORK);
            k.nv_port = fwmd_port(fw, FWMD_NV);
        }
        if (o.capture_stderr) k.stderr_path = stderr_path = root.dir + "/korv-stderr.txt";
        korv = std::make_unique<korv_proc>(root, k);
    }
    // korv first: a connection that fwmd closes under a running korv starts
    // its exception handling.
    ~korv_rig() {
        korv.reset();
        if (fw) fwmd_stop(fw);
        if (socbridge_w >= 0) close(socbridge_w);
    }
    korv_rig(const korv_rig &) = delete;
    korv_rig &operator=(const korv_rig &) = delete;

    // With fwmd both channels connected, and the exception channel set up:
    // its property cleared and, when korv logs, the value read back logged.
    bool up(int timeout_ms = 15000) {
        if (!korv || korv->pid <= 0 || socbridge_w < 0) return false;
        if (fw && (fwmd_wait_connected(fw, FWMD_WORK, timeout_ms) != 0 ||
                   fwmd_wait_connected(fw, FWMD_NV, timeout_ms) != 0))
            return false;
        if (korv->log_path == "/dev/null")
            return wait_until([&] { return root.prop("persist.sys.modem.exception") == "0"; }, timeout_ms);
        return korv->wait_log("persist.sys.modem.exception= ", timeout_ms);
    }
    int send(int channel, uint64_t cmd, const fwmd_body &body, uint64_t wf_id = 0) {
        return fwmd_send_cmd(fw, channel, cmd, body, wf_id);
    }
    int send_raw(int channel, const std::string &bytes) {
        return fwmd_send_raw(fw, channel, bytes.data(), bytes.size());
    }
    // The next message cmd on the channel, or an empty message (msg_cmd 0).
    fwmd_msg next(int channel, uint64_t cmd, int timeout_ms = 15000) {
        fwmd_msg m;
        return fwmd_expect(fw, channel, cmd, &m, timeout_ms) == 0 ? m : fwmd_msg();
    }
    // True when cmd arrives on the work channel in time (copied to *got).
    bool expect(uint64_t cmd, int timeout_ms = 20000, fwmd_msg *got = nullptr) {
        fwmd_msg m;
        return fwmd_expect(fw, FWMD_WORK, cmd, got ? got : &m, timeout_ms) == 0;
    }
    bool prop_is(const std::string &name, const std::string &value) {
        return wait_until([&] { return root.prop(name) == value; }, 15000);
    }
    int count(const std::string &text) const { return korv->count(text); }
};

}  // namespace korvtest

#endif
