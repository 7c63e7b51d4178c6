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

/* Options korv does not run with: the fixed usage text on standard output,
 * exit 0, no banner.  Standard error completes the text: every option korv
 * takes, and what went wrong in plain words, never getopt's "option requires
 * an argument" for a plain -h. */
TEST(KorvOptions, UsageTextAndNoteOnStandardErrorAndExitBeforeBanner) {
    sim_root root(false);
    const std::string log = root.dir + "/korv.log", err = root.dir + "/stderr";
    const std::string korv = bin_path("korv");
    char usage[sizeof kUsage + 256];
    snprintf(usage, sizeof usage, kUsage, korv.c_str());
    const std::string note = "Also: -p <file>  Read the configuration from <file> (default /system/etc/bw-hqs.cfg).\n"
                             "      -d, -h, -c and -s print this text and exit; -h needs no argument.\n";
    const std::vector<std::pair<std::vector<std::string>, const char *>> cases = {
        {{"-h"}, ""},        {{"-h", "x"}, nullptr}, {{"-s"}, ""},
        {{"-d", "x"}, nullptr}, {{"-c", "x"}, nullptr}, {{"-x"}, "korv: unknown option -x\n"},
        {{"-m"}, "korv: -m needs an argument\n"}, {{"-m", "amt", "-s"}, nullptr}};
    for (const auto &[args, first] : cases) {
        std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>" + err, korv};
        argv.insert(argv.end(), args.begin(), args.end());
        std::string out;
        EXPECT_EQ(0, korvtest::run_tool(argv, &out, {"KORV_ROOT=" + root.dir, "KORV_LOG_FILE=" + log})) << args[0];
        EXPECT_EQ(usage, out) << args[0];
        if (first != nullptr) {
            EXPECT_EQ(first + note, korvtest::read_file(err)) << args[0];
        }
    }
    EXPECT_EQ(std::string::npos, korvtest::read_file(log).find("KORV ENTRY"));
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
