// The korv binary's command line and entry banner, observed from outside:
// standard output, exit status, log file.  Its exit on SIGTERM is checked
// with the bring-up (tests/fwlink); here, that the lines made on the way out
// reach the log on every exit signal.
#include <gtest/gtest.h>
#include <signal.h>

#include "harness.h"

using korvtest::bin_path;
using korvtest::korv_proc;
using korvtest::sim_root;

namespace {
const char kUsage[] =
    "\nUsage: %s [OPTION]\n  -m <normal, amt, sml, mini, lite> Set normal, amt, sml, mini or lite "
    "mode,default is normal.\n  -d Set device used by AP to transfer data from or or Modem\n  -h"
    "                     Display this help and exit.\n\n";

std::string banner(int mode, const std::string &cfg) {
    return "----KORV ENTRY version: bw_hqs_v2.10.01_20150301, init_mode: " + std::to_string(mode) +
           ", cfg_file: " + cfg + "----";
}
}  // namespace

TEST(KorvOptions, UsageTextAndExitBeforeBanner) {
    sim_root root(false);
    const std::string log = root.dir + "/korv.log";
    const std::string korv = bin_path("korv");
    char usage[sizeof kUsage + 256];
    snprintf(usage, sizeof usage, kUsage, korv.c_str());
    const std::vector<std::vector<std::string>> cases = {
        {"-h"}, {"-h", "x"}, {"-s"}, {"-d", "x"}, {"-c", "x"}, {"-x"}, {"-m"}, {"-m", "amt", "-s"}};
    for (const auto &args : cases) {
        std::vector<std::string> argv = {korv};
        argv.insert(argv.end(), args.begin(), args.end());
        std::string out;
        EXPECT_EQ(0, korvtest::run_tool(argv, &out, {"KORV_ROOT=" + root.dir, "KORV_LOG_FILE=" + log}))
            << args[0];
        EXPECT_EQ(usage, out) << args[0];
    }
    EXPECT_EQ(std::string::npos, korvtest::read_file(log).find("KORV ENTRY"));
}

/* Standard error completes the fixed usage text: every option korv takes,
 * and what went wrong in plain words, never getopt's "option requires an
 * argument" for a plain -h. */
TEST(KorvOptions, UsageNoteOnStandardErrorNamesEveryOption) {
    sim_root root(false);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"-h", ""}, {"-s", ""}, {"-m", "korv: -m needs an argument\n"}, {"-x", "korv: unknown option -x\n"}};
    for (const auto &[arg, first] : cases) {
        std::string err;
        EXPECT_EQ(0, korvtest::run_tool({"/bin/sh", "-c", "exec \"$0\" \"$1\" 2>&1 >/dev/null", bin_path("korv"), arg},
                                        &err, {"KORV_ROOT=" + root.dir, "KORV_LOG_FILE=" + root.dir + "/korv.log"}))
            << arg;
        EXPECT_EQ(first +
                      "Also: -p <file>  Read the configuration from <file> (default /system/etc/bw-hqs.cfg).\n"
                      "      -d, -h, -c and -s print this text and exit; -h needs no argument.\n",
                  err)
            << arg;
    }
}

TEST(KorvOptions, BannerShowsModeAndConfigPath) {
    sim_root root(false);  // nothing to bring up: only the banner matters
    root.write("/data/brimwell/wf_manager/waveform/LTEP2P/nvram_wfconfig.bin", "NV");
    root.write("/data/brimwell/wf_manager/waveform/LTEP2P/nvram_wfconfig.bin.bak", "NV");
    const std::string long_path = "/" + std::string(99, 'p');
    const struct {
        std::vector<std::string> args;
        std::string expected;
    } cases[] = {
        {{}, banner(0, "")},
        {{"-m", "amt"}, banner(1, "")},
        {{"-m", "amt", "-m", "normal"}, banner(0, "")},
        {{"-m", "amt", "-m", "lite"}, banner(1, "")},
        {{"-m", "amt", "-m", "paranormal"}, banner(0, "")},
        {{"-p", long_path}, banner(0, long_path.substr(0, 80))},
    };
    for (const auto &c : cases) {
        korv_proc korv(root, c.args);
        EXPECT_TRUE(korv.wait_log(c.expected)) << c.expected << "\n" << korv.log();
    }
}

// The handler's last line is made just before the process ends: it and the
// teardown's lines must be in the log after the exit, on the stop, the
// self-restart and the crash exit alike.
TEST(KorvExit, LinesMadeJustBeforeTheExitAreInTheLog) {
    for (int sig : {SIGTERM, SIGUSR2, SIGSEGV}) {
        sim_root root;
        korv_proc korv(root);
        ASSERT_TRUE(korv.wait_log("korv main thread begin to sleep", 30000)) << sig;
        EXPECT_EQ(korv.stop(sig, 20000), 0) << sig;
        EXPECT_EQ(korv.count("hqsd receive signal " + std::to_string(sig) + "\n"), 1) << sig;
        EXPECT_EQ(korv.count("korvd exit\n"), 1) << sig;
        std::string text = korv.log();
        EXPECT_LT(text.find("hqsd receive signal"), text.find("korvd exit")) << sig;
    }
}
