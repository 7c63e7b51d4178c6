// The control-socket tests' rig: korv on a simulated phone linked to fwmd,
// asked over its control socket with korvctl's library.
#ifndef KORV_TEST_CTL_RIG_H
#define KORV_TEST_CTL_RIG_H

#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "korvctl.h"
#include "../utran/utran_test.h"

namespace ctltest {

const std::string CAPTURE_DIR = "/data/brimwell/korv/capture";

// korvctl with the given arguments, its standard error in *out too; the exit
// status.  prefix goes before the command (runuser, say).
inline int korvctl(const std::string &args, std::string *out, const std::string &prefix = "") {
    return korvtest::run_tool({"/bin/sh", "-c", prefix + korvtest::bin_path("korvctl") + " " + args + " 2>&1"}, out);
}

inline sockaddr_un unix_addr(const std::string &path) {
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    return addr;
}

// The exit status of body run in a child under uid (3 when the switch fails).
inline int as_uid(uid_t uid, const std::function<int()> &body) {
    pid_t child = fork();
    if (child == 0) _exit(setuid(uid) != 0 ? 3 : body());
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

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
    // korvctl against this rig's root.
    int ctl(const std::string &words, std::string *out, const std::string &prefix = "") const {
        return korvctl("--root " + root.dir + " " + words, out, prefix);
    }
    int voltage(uint8_t card, uint8_t type) {
        return send(FWMD_WORK, MWRX_WF_CARD_POWERON_REPORT_REQ, fwmd_body().u8(card).u8(type));
    }
};

}  // namespace ctltest

#endif
