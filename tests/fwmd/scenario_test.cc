/* Scenarios: parse errors name their line, the CLI plays one.  (The shipped
 * ones are played: demo.scn by korv-sim demo, nv-and-voltage.scn by the
 * README's console session.) */
#include <gtest/gtest.h>

#include "harness.h"
#include "scenario.h"

namespace {

TEST(Scenario, ParseErrorsNameTheLine)
{
    struct {
        const char *text, *error;
    } cases[] = {
        {"send nv\n", "line 1: send takes 2 or more argument(s), got 1"},
        {"\n# nothing\nfoo work\n", "line 3: unknown step 'foo'"},
        {"label x\nsend nv MWRX_WFMGR_LOAD_CNF\n", "line 2: a label must come before a check"},
        {"connect work\nlabel a\n", "line 2: label \"a\" has no check after it"},
        {"expect nv MWRX_WFMGR_LOAD_CNF cnt=1", "line 1: MWRX_WFMGR_LOAD_CNF has no field 'cnt'"},
        {"timeout 10\nsend nv MWRX_WFMGR_LOAD_CNF flag=x", "line 2: MWRX_WFMGR_LOAD_CNF: flag=x: not a number"},
        {"prop a 1 within=soon", "line 1: 'soon' is not a number of milliseconds"},
        {"file data/x 0 AB", "line 1: file path 'data/x' must be a device path"},
        {"notify 300", "line 1: notification type '300' is not a byte"},
        {"journal x count=a", "line 1: expected count=N"},
        {"connect radio", "line 1: unknown channel 'radio'"},
        {"label a\nlabel b\nconnect nv", "line 2: two labels in a row"},
        {"socbridge \"ME", "line 1: unterminated quote"},
    };
    for (const auto &c : cases) {
        fwmd_scenario sc;
        std::string err;
        EXPECT_EQ(fwmd_scenario_parse(c.text, &sc, &err), -1) << c.text;
        EXPECT_EQ(err.rfind(c.error, 0), 0u) << c.text << "\n  error: " << err;
    }
}

TEST(Scenario, CommandLinePlaysAScriptAndPrintsTheTable)
{
    korvtest::sim_root dir(false);
    dir.write("/bad.scn", "connect work\nsleep soon\n");
    dir.write("/lonely.scn", "note nobody will come\nlabel \"korv connects\"\nconnect work within=50\n");
    std::string out;
    auto play = [&](const std::string &file) {
        return korvtest::run_tool(
            {korvtest::bin_path("fwmd"), "--work-port", "0", "--nv-port", "0", "--script", dir.path(file)}, &out);
    };
    EXPECT_EQ(play("/bad.scn"), 2);
    EXPECT_EQ(play("/lonely.scn"), 1);
    EXPECT_NE(out.find("[1] nobody will come"), std::string::npos) << out;
    EXPECT_NE(out.find("FAIL   korv connects  korv did not connect on work within 50 ms"), std::string::npos)
        << out;
}

}  // namespace
