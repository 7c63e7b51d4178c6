// korvctl as a newcomer meets it: when korv cannot be reached it says why
// and what to do (korv not running, a root that is no simulated phone's, a
// socket left by an earlier korv, a caller outside korv's group or kept out
// by a folder); usage errors exit 2 and --help exits 0; the status names an
// exception's cause in words; a finished capture can be handed over as a
// copy that belongs to the caller.
#include <sys/socket.h>
#include <sys/stat.h>

#include "ctl_rig.h"

using namespace ctltest;

namespace {

TEST(KorvctlCli, UnreachableKorvIsExplainedAndUsageErrorsExitTwo) {
    std::string out;
    korvtest::sim_root phone;
    const std::string socket = phone.dir + "/dev/socket/korv";

    // A phone's root with no korv on it.
    EXPECT_EQ(korvctl("--root " + phone.dir + " status", &out), 1);
    EXPECT_NE(out.find("no control socket at " + socket + ": korv is not running on " + phone.dir), std::string::npos)
        << out;
    EXPECT_NE(out.find("korv-sim run " + phone.dir), std::string::npos) << out;

    // Roots that are no phone's.
    EXPECT_EQ(korvctl("--root " + phone.dir + "/nothing status", &out), 1);
    EXPECT_NE(out.find("must name the simulated phone's root"), std::string::npos) << out;
    korvtest::sim_root empty(false);
    EXPECT_EQ(korvctl("--root " + empty.dir + " status", &out), 1);
    EXPECT_NE(out.find(empty.dir + " is no simulated phone's root (it has no dev/)"), std::string::npos) << out;
    EXPECT_EQ(korvctl("status", &out, "KORV_ROOT= "), 1);
    EXPECT_NE(out.find("--root DIR"), std::string::npos) << out;

    // A socket file nobody listens on any more.
    mkdir((phone.dir + "/dev/socket").c_str(), 0755);
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr = unix_addr(socket);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    close(fd);
    EXPECT_EQ(korvctl("--root " + phone.dir + " status", &out), 1);
    EXPECT_NE(out.find("nobody listens on " + socket + ": korv is not running"), std::string::npos) << out;

    // Usage errors, before korv is asked anything.
    for (const std::string args : {"log level warn", "", "status --yaml", "capture start", "capture stop --copy-to",
                                   "status --copy-to x", "capture start a b"}) {
        EXPECT_EQ(korvctl("--root " + phone.dir + " " + args, &out), 2) << args << ": " << out;
        EXPECT_NE(out.find("usage: korvctl"), std::string::npos) << args << ": " << out;
    }
    EXPECT_EQ(korvctl("--help", &out), 0);
    EXPECT_NE(out.find("capture stop [--copy-to PATH]"), std::string::npos) << out;
}

TEST(KorvctlCli, CallerOutsideKorvsGroupIsToldWhichGroup) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: korvctl runs as nobody against root's socket";
    if (access("/usr/sbin/runuser", X_OK) != 0) GTEST_SKIP() << "runuser missing";
    ctl_rig r;
    ASSERT_TRUE(r.up());
    const std::string as_nobody = "/usr/sbin/runuser -u nobody -- ";
    std::string out;

    // The root's folder is closed to nobody first.
    ASSERT_EQ(chmod(r.root.dir.c_str(), 0700), 0);
    EXPECT_EQ(r.ctl("status", &out, as_nobody), 1);
    EXPECT_NE(out.find("permission denied on the way to " + r.socket() + ": a folder on it is closed to you (nobody)"),
              std::string::npos)
        << out;

    // Then only the socket's mode keeps nobody out.
    ASSERT_EQ(chmod(r.root.dir.c_str(), 0755), 0);
    struct stat st {};
    ASSERT_EQ(stat(r.socket().c_str(), &st), 0);
    ASSERT_EQ(st.st_mode & 0777, 0660u);
    EXPECT_EQ(r.ctl("status", &out, as_nobody), 1);
    EXPECT_NE(out.find("permission denied on " + r.socket() + " (owner root, group root, mode 0660): run korvctl as "
                       "root or as a member of group root"),
              std::string::npos)
        << out;
    EXPECT_EQ(r.ctl("log level", &out), 0);
}

TEST(KorvctlCli, ExceptionCauseInWordsAndCaptureCopyForTheCaller) {
    ctl_rig r(korvtest::props{{"sim.bwdump.never", "1"}});
    ASSERT_TRUE(r.up());
    std::string out;
    korvtest::sim_root mine(false);
    const std::string copy = mine.path("/s1.pcapng");
    EXPECT_EQ(r.ctl("capture start s1", &out), 0) << out;
    ASSERT_EQ(r.voltage(1, 3), 0);
    ASSERT_TRUE(r.expect(MWRX_WF_CARD_POWERON_REPORT_CNF));
    EXPECT_EQ(r.ctl("capture stop --copy-to " + copy, &out), 0) << out;
    EXPECT_EQ(out, "/data/brimwell/korv/capture/s1.pcapng\n");
    EXPECT_EQ(korvtest::read_file(copy), r.root.read("/data/brimwell/korv/capture/s1.pcapng"));
    struct stat st {};
    ASSERT_EQ(stat(copy.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, geteuid());

    ASSERT_EQ(r.fw_exception(), 0);
    ASSERT_TRUE(r.expect(MWRX_WFMGR_FW_EXCEPTION_CNF, 10000));
    ASSERT_TRUE(korvtest::wait_until([&] { return r.ask_json("status")["exception"]["count"].as_int() == 1; }, 10000));
    EXPECT_EQ(r.ctl("status", &out), 0);
    EXPECT_NE(out.find("exception   dumping, 1 so far, the last for a framework request\n"), std::string::npos) << out;
}

}  // namespace

// A korv with every slot taken writes its busy answer and closes, maybe
// before korvctl's request is in: the answer is still what korvctl reads
// (it then asks again), not the failed send.
TEST(KorvctlCli, BusyAnswerOfAKorvThatClosedFirstIsRead) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    const std::string busy = "{\"error\":\"busy\"}\n";
    ASSERT_EQ(write(sv[1], busy.data(), busy.size()), static_cast<ssize_t>(busy.size()));
    close(sv[1]);
    std::string answer, err;
    EXPECT_EQ(korvctl_exchange(sv[0], "status", 1000, &answer, &err), 0) << err;
    EXPECT_EQ(answer, "{\"error\":\"busy\"}");
    close(sv[0]);

    // A peer gone without a word: the failed send is what is reported.
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    close(sv[1]);
    EXPECT_EQ(korvctl_exchange(sv[0], "status", 1000, &answer, &err), -1);
    EXPECT_NE(err.find("sending the request: Broken pipe"), std::string::npos) << err;
    close(sv[0]);
}
