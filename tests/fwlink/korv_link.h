// korv on a fresh simulated root, linked to an fwmd on both channels.
// Exception handling parks (no dump, no reset), so korv stays up after a
// link failure and the surviving channel can still be driven.
#ifndef KORV_LINK_H
#define KORV_LINK_H

#include <memory>
#include <string>

#include "fwmd.h"
#include "harness.h"
#include "kor_msg_cmd.h"

struct korv_link {
    korvtest::sim_root root;
    fwmd_server *fw = nullptr;
    std::unique_ptr<korvtest::korv_proc> korv;

    korv_link() {
        root.set_prop("persist.sys.modem.log", "0");
        root.set_prop("persist.sys.modem.reset", "0");
        int work = korvtest::free_port(), nv = korvtest::free_port();
        fw = fwmd_start(work, nv);
        korv = std::make_unique<korvtest::korv_proc>(root, std::vector<std::string>{},
                                                     std::vector<std::string>{}, work, nv);
    }
    ~korv_link() {
        korv.reset();
        fwmd_stop(fw);
    }
    bool up() {
        return fw && fwmd_wait_connected(fw, FWMD_WORK, 10000) == 0 &&
               fwmd_wait_connected(fw, FWMD_NV, 10000) == 0;
    }
    int send(uint64_t cmd, const fwmd_body &body) { return fwmd_send_cmd(fw, FWMD_WORK, cmd, body); }
};

// A waveform type indication of type 2 is only logged: a harmless probe
// whose status shows up in one log line.
inline fwmd_msg wf_probe(uint32_t status) {
    fwmd_msg msg;
    msg.msg_cmd = MWRX_WFMGR_KORGR_WF_TYPE_IND;
    msg.body = fwmd_body().u32(status).u32(2).bytes;
    return msg;
}
inline std::string wf_probe_line(uint32_t status) {
    return "body status:" + std::to_string(status) + ", type:2\n";
}

#endif
