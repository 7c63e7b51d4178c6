/* korv-sim's small commands as a newcomer types them: --help, the property
 * store (setprop, getprop), a modem exception on the exception channel that
 * a running korv handles, and logcat on a build whose korv logs to a file. */
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "korv_rig.h"

namespace {

namespace fs = std::filesystem;

/* korv-sim ARGS with standard error folded into *out; its exit status. */
int korv_sim(const std::vector<std::string> &args, std::string *out, const std::vector<std::string> &env = {}) {
    std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&1", korvtest::bin_path("korv-sim")};
    argv.insert(argv.end(), args.begin(), args.end());
    return korvtest::run_tool(argv, out, env, 30000);
}

TEST(KorvSimCommands, HelpExitsZeroAndNamesEveryCommand) {
    std::string out;
    EXPECT_EQ(0, korv_sim({"--help"}, &out));
    for (const char *cmd : {"init DIR", "run [--user NAME] DIR", "demo [--keep DIR]", "setprop DIR NAME VALUE",
                            "getprop DIR [NAME]", "exception DIR [TYPE]", "logcat DIR", "powercut DIR OUT",
                            "inspect OUT MNT", "umount DIR"})
        EXPECT_NE(std::string::npos, out.find("  " + std::string(cmd))) << cmd << "\n" << out;
    std::string wrong;
    EXPECT_EQ(2, korv_sim({"frobnicate"}, &wrong));
    EXPECT_EQ(out, wrong) << "a wrong command shows the same list";
}

/* What setprop writes is what korv's property_get reads (the store file),
 * and getprop shows it as Android's getprop does. */
TEST(KorvSimCommands, PropertiesSetAndShownAsAndroidsGetpropDoes) {
    korvtest::sim_root root;
    std::string out;
    EXPECT_EQ(0, korv_sim({"setprop", root.dir, "radio.brimwell.at_timeout", "7"}, &out)) << out;
    EXPECT_EQ(0, korv_sim({"setprop", root.dir, "persist.sys.modem.log", "1"}, &out)) << out;
    EXPECT_EQ(0, korv_sim({"setprop", root.dir, "persist.sys.modem.log", "two words"}, &out)) << out;
    EXPECT_EQ("7", root.prop("radio.brimwell.at_timeout"));

    EXPECT_EQ(0, korv_sim({"getprop", root.dir, "persist.sys.modem.log"}, &out));
    EXPECT_EQ("two words\n", out);
    EXPECT_EQ(0, korv_sim({"getprop", root.dir, "ro.not.set"}, &out));
    EXPECT_EQ("\n", out) << "an unset property reads empty, as on Android";

    EXPECT_EQ(0, korv_sim({"getprop", root.dir}, &out));
    std::vector<std::string> lines = korvtest::split_lines(out);
    EXPECT_EQ((std::vector<std::string>{"[persist.sys.modem.log]: [two words]", "[radio.brimwell.at_timeout]: [7]"}),
              lines);

    EXPECT_EQ(1, korv_sim({"setprop", root.dir, "a/b", "1"}, &out)) << out;
    EXPECT_EQ(1, korv_sim({"setprop", root.dir, "ro.long", std::string(92, 'x')}, &out)) << out;
    EXPECT_FALSE(root.exists("/dev/__properties__/ro.long"));
    EXPECT_EQ(2, korv_sim({"setprop", root.dir, "only.name"}, &out));
}

/* A modem-dump record from korv-sim exception is taken by korv as one from
 * the modem driver: the exception is marked, handled once, and korv ends
 * itself to be restarted.  Another type is skipped.  With nobody reading the
 * channel the command says what to start. */
TEST(KorvSimCommands, ExceptionRecordIsHandledByARunningKorv) {
    std::string out;
    korvtest::sim_root idle;
    EXPECT_EQ(1, korv_sim({"exception", idle.dir}, &out));
    EXPECT_NE(std::string::npos, out.find("nothing reads " + idle.dir + "/dev/socbridge: start korv-sim run")) << out;

    korvtest::korv_rig r;
    ASSERT_TRUE(r.up());
    EXPECT_EQ(0, korv_sim({"exception", r.root.dir, "5"}, &out)) << out;
    EXPECT_EQ(0, korv_sim({"exception", r.root.dir}, &out)) << out;
    EXPECT_NE(std::string::npos, out.find("exception record of type 2 written to " + r.root.dir + "/dev/socbridge"));
    EXPECT_TRUE(r.prop_is("persist.sys.modem.exception", "1"));
    EXPECT_TRUE(r.expect(MWRX_WFMGR_MODEM_EXCEPTION_IND));
    EXPECT_EQ(0, r.korv->wait_exit(30000));
    EXPECT_EQ(1, r.count("kro_handle_modem_exception flag:1"));
    EXPECT_EQ(2, korv_sim({"exception", r.root.dir, "two"}, &out));
}

/* korv logs to a file unless its adapter has the liblog sink: logcat then
 * points at the file instead of only failing. */
TEST(KorvSimCommands, LogcatSaysWhereTheLinesAreWithoutTheLiblogSink) {
    if (KORV_SINK_IS_LIBLOG) GTEST_SKIP() << "this build's korv logs through liblog already";
    korvtest::sim_root root;
    std::string out;
    EXPECT_EQ(1, korv_sim({"logcat", root.dir}, &out));
    EXPECT_NE(std::string::npos, out.find("its lines are in " + root.dir + "/korv.log")) << out;
    const std::string liblog = fs::canonical(korvtest::bin_path("../lib/liblog")).string();
    EXPECT_EQ(1, korv_sim({"logcat", root.dir}, &out, {"LD_LIBRARY_PATH=" + liblog}));
    EXPECT_EQ(std::string::npos, out.find("korv.log")) << "korv with the liblog sink logs to the buffer\n" << out;
}

}  // namespace
