// korv on a fresh simulated root, linked to an fwmd on both channels.  The
// exception FIFO's write end is held open: a FIFO without writers reads end
// of file at once and for ever.
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

struct korv_rig {
    sim_root root;
    fwmd_server *fw = nullptr;
    std::unique_ptr<korv_proc> korv;
    int socbridge_w = -1;

    // Properties are set before korv starts.
    explicit korv_rig(const props &initial = {}) {
        for (const auto &p : initial) root.set_prop(p.first, p.second);
        socbridge_w = open(root.path("/dev/socbridge").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if ((fw = fwmd_start(0, 0)))
            korv = std::make_unique<korv_proc>(root, std::vector<std::string>{}, std::vector<std::string>{},
                                               fwmd_port(fw, FWMD_WORK), fwmd_port(fw, FWMD_NV));
    }
    ~korv_rig() {
        korv.reset();
        if (fw) fwmd_stop(fw);
        if (socbridge_w >= 0) close(socbridge_w);
    }

    // Both channels connected and the exception channel set up.
    bool up() {
        return korv && socbridge_w >= 0 && fwmd_wait_connected(fw, FWMD_WORK, 15000) == 0 &&
               fwmd_wait_connected(fw, FWMD_NV, 15000) == 0 &&
               korv->wait_log("persist.sys.modem.exception= ", 15000);
    }
    int send(uint64_t cmd, const fwmd_body &body, int channel = FWMD_WORK) {
        return fwmd_send_cmd(fw, channel, cmd, body);
    }
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
