// The control-socket tests' rig: korv on a simulated phone linked to fwmd,
// asked over its control socket with korvctl's library.
#ifndef KORV_TEST_CTL_RIG_H
#define KORV_TEST_CTL_RIG_H

#include <gtest/gtest.h>

#include <string>

#include "korvctl.h"
#include "../utran/utran_test.h"

namespace ctltest {

struct ctl_rig : utrantest::korv_rig {
    using utrantest::korv_rig::korv_rig;

    std::string socket() const { return korvctl_socket_path(root.dir); }
    // The answer line to a request, "" when there was none.
    std::string ask(const std::string &request) const {
        std::string answer, err;
        return korvctl_ask(socket(), request, &answer, &err) == 0 ? answer : "";
    }
    // The answer parsed; a null value when it was no JSON.
    korvctl_json ask_json(const std::string &request) const {
        korvctl_json v;
        std::string err;
        if (korvctl_json_parse(ask(request), &v, &err) != 0) ADD_FAILURE() << request << ": " << err;
        return v;
    }
    int voltage(uint8_t card, uint8_t type) {
        return send(FWMD_WORK, MWRX_WF_CARD_POWERON_REPORT_REQ, fwmd_body().u8(card).u8(type));
    }
};

}  // namespace ctltest

#endif
