// The peer check of the framework links, against the real korv: a listener
// of another user on the framework ports is refused on every attempt, never
// read, answered or acted on; the real framework on the same ports afterwards
// is taken as before; and ro.korv.fw_uids naming the other user lets it in.
// The other user's listener is a child process that drops to uid 65534
// (nobody), which needs root.
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include "tests/hostile/hostile_rig.h"

using namespace hostile;

namespace {

const uid_t OTHER_UID = 65534;

std::string frame_of(uint64_t cmd, const fwmd_body &body) {
    std::vector<uint8_t> bytes = fwmd_encode(fwmd_make(cmd, body));
    return std::string(bytes.begin(), bytes.end());
}

int listen_on(int port) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(s, 8) != 0) _exit(2);
    return s;
}

/* Sends what the impostor has for this port, then counts what comes back
 * until the other end goes away or hold_ms pass. */
long serve(int conn, const std::string &records, int hold_ms) {
    send(conn, records.data(), records.size(), MSG_NOSIGNAL);
    long back = 0;
    for (;;) {
        struct pollfd p = {conn, POLLIN, 0};
        char buf[512];
        if (poll(&p, 1, hold_ms) <= 0) break;
        ssize_t n = read(conn, buf, sizeof buf);
        if (n <= 0) break;
        back += n;
    }
    close(conn);
    return back;
}

/* A framework impostor: a child that becomes another user, listens on both
 * framework ports, serves each connection in a child of its own (sends its
 * records at once, counts what comes back) and reports "PORT BYTES_BACK" per
 * connection on a pipe. */
struct impostor {
    pid_t pid = -1;
    int report = -1;
    std::string lines;

    impostor(int work_port, int nv_port, const std::string &work_records, const std::string &nv_records,
             int hold_ms) {
        int p[2];
        if (pipe2(p, O_CLOEXEC) != 0) return;
        pid = fork();
        if (pid == 0) {
            close(p[0]);
            setpgid(0, 0); /* one group with the connection children, killed as one */
            signal(SIGCHLD, SIG_IGN);
            if (setgroups(0, nullptr) != 0 || setgid(OTHER_UID) != 0 || setuid(OTHER_UID) != 0) _exit(3);
            struct pollfd l[2] = {{listen_on(work_port), POLLIN, 0}, {listen_on(nv_port), POLLIN, 0}};
            const std::string *records[2] = {&work_records, &nv_records};
            const int ports[2] = {work_port, nv_port};
            for (;;) {
                if (poll(l, 2, -1) <= 0) continue;
                for (int i = 0; i < 2; i++) {
                    if (!(l[i].revents & POLLIN)) continue;
                    int conn = accept4(l[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
                    if (conn >= 0 && fork() == 0) {
                        dprintf(p[1], "%d %ld\n", ports[i], serve(conn, *records[i], hold_ms));
                        _exit(0);
                    }
                    if (conn >= 0) close(conn);
                }
            }
        }
        close(p[1]);
        report = p[0];
        fcntl(report, F_SETFL, O_NONBLOCK);
    }
    ~impostor() { gone(); }
    void gone() {
        if (pid > 0) {
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        pid = -1;
        if (report >= 0) close(report);
        report = -1;
    }
    void take() {
        char buf[256];
        for (ssize_t n; report >= 0 && (n = read(report, buf, sizeof buf)) > 0;) lines.append(buf, (size_t)n);
    }
    int connections(int port) {
        take();
        return korvtest::count_of(lines, std::to_string(port) + " ");
    }
    /* Every reported connection got nothing back. */
    bool never_answered() {
        take();
        for (const std::string &l : korvtest::split_lines(lines))
            if (l.substr(l.find(' ') + 1) != "0") return false;
        return true;
    }
};

std::string refused_line(int port) {
    return "[KORV][FLOW] refused fw service on port " + std::to_string(port) + ": peer uid " +
           std::to_string(OTHER_UID) + " not allowed\n";
}

/* What the impostor sends: an exception request on the work channel, and on
 * the NV channel a path record and a write into UTRAN's NV file. */
std::string work_records() { return frame_of(MWRX_WFMGR_FW_EXCEPTION_REQ, fwmd_body()); }
std::string nv_records() {
    fwmd_body modify = fwmd_body().u32(1);
    nv_entry(modify, 3, 0, "PWNED");
    return frame_of(MWRX_WFMGR_COMM_PATH_INFO_IND, path_info(3, UTRAN_DIR, "nvram_utran.bin", "IMPOSTOR")) +
           frame_of(MWRX_WFMGR_NV_MODIFY_IND, modify);
}

TEST(TrustPeer, ImpostorRefusedAgainAndAgainThenTheFrameworkIsTaken) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root (a listener of another uid)";
    const int work_port = korvtest::free_port(), nv_port = korvtest::free_port();
    impostor imp(work_port, nv_port, work_records(), nv_records(), 2000);
    ASSERT_GT(imp.pid, 0);
    rig r(props{}, work_port, nv_port);
    ASSERT_TRUE(r.up());
    const std::string nv_file = r.root.path(UTRAN_DIR + "nvram_utran.bin");
    const std::string before = read_range(nv_file, 0, 16);

    ASSERT_TRUE(korvtest::wait_until(
        [&] { return imp.connections(work_port) >= 3 && imp.connections(nv_port) >= 3; }, 20000));
    ASSERT_TRUE(r.korv->wait_log(refused_line(nv_port), 5000, 3));
    EXPECT_TRUE(imp.never_answered()) << imp.lines;
    EXPECT_GE(r.count(refused_line(work_port)), 3);
    EXPECT_EQ(r.count("[KORV][FLOW]socket_loopback_client"), 0);
    EXPECT_EQ(r.count("[KORV][FLOW]connected to fw service"), 0);
    EXPECT_EQ(r.count("socket_client_fwm"), 0) << "korv read from a refused peer";
    EXPECT_EQ(r.count("IMPOSTOR"), 0);
    EXPECT_EQ(r.count(EXC_CLAIMED), 0);
    EXPECT_EQ(r.root.prop("persist.sys.modem.exception"), "0");
    EXPECT_EQ(read_range(nv_file, 0, 16), before);

    /* The framework comes back on the same ports and is taken. */
    imp.gone();
    r.fw = fwmd_start(work_port, nv_port);
    ASSERT_NE(r.fw, nullptr);
    ASSERT_EQ(fwmd_wait_connected(r.fw, FWMD_WORK, 15000), 0);
    ASSERT_EQ(fwmd_wait_connected(r.fw, FWMD_NV, 15000), 0);
    ASSERT_EQ(r.send(FWMD_NV, MWRX_WFMGR_COMM_PATH_INFO_IND, path_info(3, UTRAN_DIR, "nvram_utran.bin")), 0);
    fwmd_body modify = fwmd_body().u32(1);
    ASSERT_EQ(r.send(FWMD_NV, MWRX_WFMGR_NV_MODIFY_IND, nv_entry(modify, 3, 0, "REAL!")), 0);
    EXPECT_TRUE(korvtest::wait_until([&] { return read_range(nv_file, 0, 5) == "REAL!"; }, 15000));
    EXPECT_TRUE(r.work_alive());
    EXPECT_EQ(r.count("[KORV][FLOW]connected to fw service"), 2);
    EXPECT_EQ(r.count(EXC_CLAIMED), 0);
    expect_clean(r);
}

TEST(TrustPeer, AllowedUidListLetsTheOtherUserIn) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root (a listener of another uid)";
    const int work_port = korvtest::free_port(), nv_port = korvtest::free_port();
    impostor imp(work_port, nv_port, "", nv_records(), 30000);
    ASSERT_GT(imp.pid, 0);
    rig r(props{{"ro.korv.fw_uids", "1000, " + std::to_string(OTHER_UID)}}, work_port, nv_port);
    ASSERT_TRUE(r.up());

    ASSERT_TRUE(r.korv->wait_log("wf_name=IMPOSTOR", 15000));
    EXPECT_TRUE(korvtest::wait_until(
        [&] { return r.root.read(UTRAN_DIR + "nvram_utran.bin").compare(0, 5, "PWNED") == 0; }, 15000));
    EXPECT_EQ(r.count("refused fw service"), 0);
    EXPECT_EQ(r.count("[KORV][FLOW]connected to fw service with port:" + std::to_string(nv_port)), 1);
    expect_clean(r);
}

}  // namespace
