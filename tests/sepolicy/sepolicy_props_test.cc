// The properties korv and its dump tool really set on the simulated phone,
// checked against the SELinux policy: each set the property service would
// see on a phone (program, name) must be one the program's domain may make,
// or the phone would refuse it while the host test passes.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "korv_rig.h"

namespace {

using namespace korvtest;

// Runs the policy test's may-set check on a journal; its output in *out.
int may_set(const std::string &work, const std::string &journal, std::string *out) {
    return run_tool({"/bin/sh", "-c", "exec bash \"$0\" \"$@\" 2>&1", KORV_SEPOLICY_TEST, KORV_SOURCE_DIR, work,
                     "may-set", journal},
                    out, {}, 240000);
}

// A start with the power-on trace, an AT time-out handled with a dump but
// no reset, and a stop: every kind of set korv makes on those paths.  The
// libwcs and amt stand-ins run inside korv and set sim.* properties of
// their own, which the real libraries do not: those lines are left out.
TEST(SepolicyProps, EverySetOfARunIsAllowedByThePolicy) {
    korv_rig r(props{{"persist.sys.modem.reset", "0"},
                     {"persist.sys.modem.log", "1"},
                     {"persist.sys.poweron.trace_log", "1"}});
    ASSERT_TRUE(r.up());
    r.root.set_prop("radio.brimwell.at_timeout", "1");
    ASSERT_TRUE(r.korv->wait_log("persist.sys.modem.reset is closed, not killself", 20000));
    ASSERT_EQ(r.korv->stop(SIGTERM, 20000), 0);

    std::string journal;
    int korv_sets = 0, control_sets = 0;
    for (const auto &line : split_lines(r.root.read("/init/property.log"))) {
        if (line.find(" sim.") != std::string::npos) continue;
        journal += line + "\n";
        korv_sets += line.rfind("korv ", 0) == 0;
        control_sets += line.find(" ctl.") != std::string::npos;
    }
    // The journal must hold the run, or the check below proves nothing.
    ASSERT_GT(korv_sets, 0) << journal;
    ASSERT_GT(control_sets, 0) << journal;
    ASSERT_NE(journal.find("bw-dump "), std::string::npos) << journal;

    r.root.write("/sepolicy-journal", journal);
    std::string out;
    EXPECT_EQ(may_set(r.root.dir + "/sepolicy-check", r.root.path("/sepolicy-journal"), &out), 0) << out;

    // The check refuses what the policy refuses: korv setting a switch it
    // only reads, and a property without a context.
    r.root.write("/sepolicy-refused", "korv persist.sys.modem.reset\nkorv korv.unknown\n");
    std::string refused;
    EXPECT_EQ(may_set(r.root.dir + "/sepolicy-check-refused", r.root.path("/sepolicy-refused"), &refused), 1);
    EXPECT_NE(refused.find("keeps korv from setting"), std::string::npos) << refused;
    EXPECT_NE(refused.find("korv.unknown, which has no property context"), std::string::npos) << refused;
}

}  // namespace
