// Captures against a local attacker who can create names where korv writes:
// whatever sits at a capture's path (a link to MA, a link out of the root, a
// hard link to DA, a named pipe) is replaced by a new regular file and what
// it pointed at is untouched; a capture folder that is a link or not korv's
// is refused without its mode changing; a capture on a full disk fails as
// such, with the bytes that reached the file; one on a file system that
// takes no writes (frozen) is abandoned.  Throughout, the control socket
// answers within a second.
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "../ctl/ctl_rig.h"

using namespace ctltest;

namespace {

const std::string MA = "/data/brimwell/nvram/nvram_sysconfig_ma.bin";
const std::string DA = "/data/brimwell/nvram/nvram_sysconfig_da.bin";

// The answer to a request when it came within a second, else "".
std::string ask_within_1s(const ctl_rig &r, const std::string &request) {
    std::string answer, err;
    return korvctl_ask(r.socket(), request, &answer, &err, 1000) == 0 ? answer : "";
}

// The same parsed; a failure when it came late or was no JSON.
korvctl_json json_within_1s(const ctl_rig &r, const std::string &request) {
    korvctl_json v;
    EXPECT_EQ(korvctl_json_parse(ask_within_1s(r, request), &v, nullptr), 0) << request;
    return v;
}

// The answers to two requests sent in one write (so the second reaches korv
// while it still acts on the first); what came within 5 s.
std::string ask_two(const ctl_rig &r, const std::string &first, const std::string &second) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr = unix_addr(r.socket());
    std::string lines = first + "\n" + second + "\n", got;
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        send(fd, lines.data(), lines.size(), MSG_NOSIGNAL) != (ssize_t)lines.size()) {
        if (fd >= 0) close(fd);
        return got;
    }
    char buf[512];
    pollfd p = {fd, POLLIN, 0};
    for (ssize_t n = 1; n > 0 && korvtest::count_of(got, "\n") < 2 && poll(&p, 1, 5000) > 0;)
        if ((n = recv(fd, buf, sizeof buf, 0)) > 0) got.append(buf, (size_t)n);
    close(fd);
    return got;
}

mode_t mode_of(const std::string &path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

// One capture of one voltage request into `name`: started, status within a
// second while it runs, stopped with the file complete.
void capture_one(ctl_rig &r, const std::string &name) {
    korvctl_json started = json_within_1s(r, "capture start " + name);
    ASSERT_EQ(started["capture"].text, "started") << name << ": " << started["error"].text;
    EXPECT_EQ(json_within_1s(r, "status")["capture"]["file"].text, CAPTURE_DIR + "/" + name + ".pcapng");
    ASSERT_EQ(r.voltage(1, 3), 0);
    ASSERT_TRUE(r.expect(MWRX_WF_CARD_POWERON_REPORT_CNF));
    EXPECT_EQ(json_within_1s(r, "capture stop")["capture"].text, "stopped") << name;
}

// The capture at name is a regular file of its own holding the request and
// its answer.
void expect_own_capture(const ctl_rig &r, const std::string &name) {
    const std::string path = r.root.path(CAPTURE_DIR + "/" + name + ".pcapng");
    struct stat st {};
    ASSERT_EQ(lstat(path.c_str(), &st), 0) << name;
    EXPECT_TRUE(S_ISREG(st.st_mode)) << name;
    EXPECT_EQ(st.st_nlink, 1u) << name;
    EXPECT_EQ(st.st_mode & 0777, 0640u) << name;
    std::vector<fwmd_capture_rec> recs;
    std::string err;
    ASSERT_EQ(fwmd_pcapng_load(path, &recs, &err), 0) << name << ": " << err;
    EXPECT_EQ(recs.size(), 2u) << name;
}

TEST(CaptureAttack, WhateverHoldsTheNameIsReplacedAndWhatItPointsAtIsUntouched) {
    ctl_rig r;
    ASSERT_TRUE(r.up());
    capture_one(r, "first");  // korv makes its folder
    ASSERT_FALSE(::testing::Test::HasFailure());
    const std::string dir = r.root.path(CAPTURE_DIR);
    const mode_t dir_mode = mode_of(dir);
    korvtest::sim_root outside(false);
    const std::string secret = outside.path("/secret");
    korvtest::write_file(secret, "outside the root\n");
    const std::string ma = r.root.read(MA), da = r.root.read(DA);

    ASSERT_EQ(symlink("../../nvram/nvram_sysconfig_ma.bin", (dir + "/to-ma.pcapng").c_str()), 0);
    ASSERT_EQ(symlink(secret.c_str(), (dir + "/out.pcapng").c_str()), 0);
    ASSERT_EQ(link(r.root.path(DA).c_str(), (dir + "/hard-da.pcapng").c_str()), 0);
    ASSERT_EQ(mkfifo((dir + "/pipe.pcapng").c_str(), 0660), 0);
    // A stale temporary name that is a link: replaced as well.
    ASSERT_EQ(symlink("../../nvram/nvram_sysconfig_ma.bin", (dir + "/.tmp-ma.pcapng.tmp").c_str()), 0);
    for (const std::string name : {"to-ma", "out", "hard-da", "pipe", "tmp-ma"}) {
        capture_one(r, name);
        expect_own_capture(r, name);
    }
    EXPECT_EQ(r.root.read(MA), ma);
    EXPECT_EQ(r.root.read(DA), da);
    EXPECT_EQ(korvtest::read_file(secret), "outside the root\n");
    EXPECT_EQ(mode_of(dir), dir_mode);
    EXPECT_EQ(ask_within_1s(r, "log level"), "{\"level\":\"flow\"}");
}

TEST(CaptureAttack, FolderThatIsALinkIsRefusedAndKeepsItsMode) {
    ctl_rig r;
    ASSERT_TRUE(r.up());
    korvtest::sim_root outside(false);
    const std::string elsewhere = outside.path("/private");
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(r.root.path("/data/brimwell/korv").c_str(), 0770), 0);
    ASSERT_EQ(symlink(elsewhere.c_str(), r.root.path(CAPTURE_DIR).c_str()), 0);

    std::string out;
    EXPECT_EQ(r.ctl("capture start evil", &out), 1);
    EXPECT_NE(out.find("no capture folder"), std::string::npos) << out;
    EXPECT_EQ(mode_of(elsewhere) & 07777, 0700u);
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere));
    EXPECT_TRUE(r.korv->wait_log("[KORV][CAPTURE]" + CAPTURE_DIR + "/evil.pcapng: no capture folder: "));
    EXPECT_NE(ask_within_1s(r, "status"), "");

    // A link further up (the korv folder itself) is refused the same way.
    ASSERT_EQ(unlink(r.root.path(CAPTURE_DIR).c_str()), 0);
    ASSERT_EQ(rmdir(r.root.path("/data/brimwell/korv").c_str()), 0);
    ASSERT_EQ(symlink(elsewhere.c_str(), r.root.path("/data/brimwell/korv").c_str()), 0);
    EXPECT_EQ(r.ctl("capture start evil", &out), 1);
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere));
    EXPECT_EQ(mode_of(elsewhere) & 07777, 0700u);
}

TEST(CaptureAttack, FolderSomeoneElseMadeIsRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: the folder is given to another user";
    ctl_rig r;
    ASSERT_TRUE(r.up());
    const std::string dir = r.root.path(CAPTURE_DIR);
    ASSERT_EQ(mkdir(r.root.path("/data/brimwell/korv").c_str(), 0770), 0);
    ASSERT_EQ(mkdir(dir.c_str(), 0777), 0);
    ASSERT_EQ(chmod(dir.c_str(), 0777), 0);
    ASSERT_EQ(chown(dir.c_str(), 65534, 65534), 0);
    std::string out;
    EXPECT_EQ(r.ctl("capture start theirs", &out), 1);
    EXPECT_NE(out.find("the capture folder is not korv's"), std::string::npos) << out;
    EXPECT_EQ(mode_of(dir) & 07777, 0777u);
    EXPECT_FALSE(r.root.exists(CAPTURE_DIR + "/theirs.pcapng"));
}

// A tmpfs of a few pages mounted as the capture folder, unmounted at the end.
struct small_disk {
    std::string dir;
    bool mounted = false;
    explicit small_disk(const std::string &where) : dir(where) {
        mounted = mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=16k,mode=0770") == 0;
    }
    ~small_disk() {
        if (mounted) umount2(dir.c_str(), MNT_DETACH);
    }
};

// A small ext4 image loop-mounted as the capture folder.  A frozen file
// system blocks every write; a detached shell thaws it after a while even
// if this process dies, so nothing stays frozen behind a failed test.
struct frozen_disk {
    std::string dir, image;
    bool mounted = false, frozen = false;
    frozen_disk(const std::string &where, const std::string &img) : dir(where), image(img) {
        std::string out;
        mounted = korvtest::run_tool({"/usr/bin/truncate", "-s", "8M", image}, &out) == 0 &&
                  korvtest::run_tool({"/usr/sbin/mkfs.ext4", "-q", "-F", image}, &out) == 0 &&
                  korvtest::run_tool({"/bin/mount", "-o", "loop", image, dir}, &out) == 0;
    }
    bool freeze() {
        std::string out;
        frozen = korvtest::run_tool({"/usr/sbin/fsfreeze", "-f", dir}, &out) == 0;
        if (frozen && fork() == 0) {
            setsid();
            int null = open("/dev/null", O_RDWR);  // ctest waits for whoever holds the test's output
            for (int fd = 0; fd < 3; fd++) dup2(null, fd);
            execl("/bin/sh", "sh", "-c", ("sleep 20; /usr/sbin/fsfreeze -u " + dir + " 2>/dev/null").c_str(),
                  (char *)nullptr);
            _exit(127);
        }
        return frozen;
    }
    void thaw() {
        std::string out;
        if (frozen) korvtest::run_tool({"/usr/sbin/fsfreeze", "-u", dir}, &out);
        frozen = false;
    }
    ~frozen_disk() {
        thaw();
        std::string out;
        if (mounted) korvtest::run_tool({"/bin/umount", "-l", dir}, &out);
    }
};

// A capture on a full disk fails as such; one on a frozen disk is abandoned
// within a second, and a new one works once the disk is thawed.
TEST(CaptureAttack, CaptureOnAFullDiskFailsAndOnAFrozenDiskIsAbandoned) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: mounts a small tmpfs, loop-mounts and freezes an ext4 image";
    ctl_rig r;
    ASSERT_TRUE(r.up());
    ASSERT_EQ(mkdir(r.root.path("/data/brimwell/korv").c_str(), 0770), 0);
    ASSERT_EQ(mkdir(r.root.path(CAPTURE_DIR).c_str(), 0770), 0);
    {
        small_disk disk(r.root.path(CAPTURE_DIR));
        if (!disk.mounted) GTEST_SKIP() << "tmpfs cannot be mounted here: " << strerror(errno);

        ASSERT_EQ(r.ask_json("capture start big")["capture"].text, "started");
        const fwmd_body path =
            fwmd_body().u32(1).u32(8).chars("LTEP2P", 64).chars("/data/brimwell/x", 128).chars("n", 64);
        korvctl_json s;
        ASSERT_TRUE(korvtest::wait_until(
            [&] {
                for (int i = 0; i < 20; i++) r.send(FWMD_NV, MWRX_WFMGR_COMM_PATH_INFO_IND, path);
                s = r.ask_json("status");
                return s["capture"]["failed"].kind == korvctl_json::string_v;
            },
            20000));
        EXPECT_NE(s["capture"]["failed"].text.find("No space left on device"), std::string::npos)
            << s["capture"]["failed"].text;
        EXPECT_EQ(s["capture"]["file"].kind, korvctl_json::null_v);
        const std::string file = r.root.path(CAPTURE_DIR + "/big.pcapng");
        struct stat st {};
        ASSERT_EQ(stat(file.c_str(), &st), 0);
        EXPECT_EQ(s["capture"]["bytes"].as_int(), (int64_t)st.st_size);
        EXPECT_TRUE(r.korv->wait_log("[KORV][CAPTURE]writing " + CAPTURE_DIR +
                                     "/big.pcapng failed: No space left on device, capture stopped"));

        std::string out;
        EXPECT_EQ(r.ctl("status", &out), 0);
        EXPECT_NE(out.find(std::to_string(st.st_size) + " bytes, 0 lost; FAILED: writing the file failed: No space"),
                  std::string::npos)
            << out;
        EXPECT_EQ(r.ctl("capture stop", &out), 1);
        EXPECT_NE(out.find(CAPTURE_DIR + "/big.pcapng\n"), std::string::npos) << out;
        EXPECT_NE(out.find("No space left on device; " + std::to_string(st.st_size) + " bytes reached the file"),
                  std::string::npos)
            << out;
        EXPECT_EQ(r.ask_json("capture stop")["error"].text, "no capture running");

        // Stopped while its writer fails: the writer's last word about the
        // file and the stop that frees the capture must not cross.  Start and
        // stop go in one write, twenty times, each capture failing at once on
        // the full disk.
        for (int i = 0; i < 20; i++) {
            const std::string name = "race" + std::to_string(i), answers = ask_two(r, "capture start " + name, "capture stop");
            ASSERT_EQ(korvtest::count_of(answers, "\n"), 2) << name << ": korv answered \"" << answers << "\"";
            EXPECT_NE(answers.find("\"capture\":\"failed\""), std::string::npos) << answers;
        }
        EXPECT_NE(ask_within_1s(r, "status"), "");
    }

    if (access("/usr/sbin/fsfreeze", X_OK) != 0) GTEST_SKIP() << "fsfreeze missing";
    frozen_disk disk(r.root.path(CAPTURE_DIR), r.root.path("/capture.img"));
    if (!disk.mounted) GTEST_SKIP() << "no loop-mounted ext4 here";

    ASSERT_EQ(r.ask_json("capture start stuck")["capture"].text, "started");
    ASSERT_TRUE(disk.freeze());
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(r.voltage(1, 3), 0);
        ASSERT_TRUE(r.expect(MWRX_WF_CARD_POWERON_REPORT_CNF));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(400));  // the writer is in its write by now
    const auto asked = std::chrono::steady_clock::now();
    korvctl_json stopped = json_within_1s(r, "capture stop");
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(1));
    EXPECT_EQ(stopped["capture"].text, "failed");
    EXPECT_EQ(stopped["file"].text, CAPTURE_DIR + "/stuck.pcapng");
    EXPECT_NE(stopped["error"].text.find("the file took no write for 500 ms; capture abandoned"), std::string::npos)
        << stopped["error"].text;
    EXPECT_NE(ask_within_1s(r, "status"), "");
    EXPECT_EQ(r.ask_json("capture stop")["error"].text, "no capture running");

    // Thawed, the abandoned writer ends on its own and a new capture works.
    disk.thaw();
    capture_one(r, "after");
    expect_own_capture(r, "after");
}

}  // namespace
