// The rig with exception handling parked (no dump, no reset): korv stays up
// after a link failure and the surviving channel can still be driven.
#ifndef KORV_LINK_H
#define KORV_LINK_H

#include "korv_rig.h"

struct korv_link : korvtest::korv_rig {
    korv_link() : korv_rig({{"persist.sys.modem.log", "0"}, {"persist.sys.modem.reset", "0"}}) {}
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
