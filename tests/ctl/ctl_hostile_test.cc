// Hostile clients of the control socket: a hundred at once, a 1 MiB line,
// garbage, and one that asks and never reads.  korv goes on answering the
// next client, the framework links keep working, and the stop is not held.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <thread>

#include "ctl_rig.h"

using namespace ctltest;

namespace {

int connect_raw(const std::string &path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Whatever arrives within timeout_ms, up to the peer's close or n bytes.
std::string read_some(int fd, int timeout_ms, size_t n = 1 << 16) {
    std::string got;
    char buf[4096];
    pollfd p = {fd, POLLIN, 0};
    while (got.size() < n && poll(&p, 1, timeout_ms) > 0) {
        ssize_t r = recv(fd, buf, sizeof buf, 0);
        if (r <= 0) break;
        got.append(buf, static_cast<size_t>(r));
        if (got.find('\n') != std::string::npos && got.size() >= n) break;
    }
    return got;
}

// Writes everything it can, stopping at the first error (korv may close).
size_t write_all(int fd, const std::string &data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t w = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (w <= 0) break;
        done += static_cast<size_t>(w);
    }
    return done;
}

bool links_work(ctl_rig &r) {
    return fwmd_connected(r.fw, FWMD_WORK) && fwmd_connected(r.fw, FWMD_NV) && r.voltage(0, 1) == 0 &&
           r.expect(MWRX_WF_CARD_POWERON_REPORT_CNF, 10000);
}

TEST(CtlHostile, FloodsGarbageAndSilentReadersLeaveKorvServing) {
    ctl_rig r;
    ASSERT_TRUE(r.up());

    // A hundred clients at once: four are held, the rest told "busy".
    std::vector<int> crowd;
    for (int i = 0; i < 100; i++) crowd.push_back(connect_raw(r.socket()));
    int busy = 0;
    for (int fd : crowd) {
        ASSERT_GE(fd, 0);
        busy += read_some(fd, 200) == "{\"error\":\"busy\"}\n";
    }
    EXPECT_EQ(busy, 96);
    for (int fd : crowd) close(fd);
    EXPECT_EQ(r.ask("log level"), "{\"level\":\"flow\"}");

    // A 1 MiB line: one answer, then the connection is closed.
    int big = connect_raw(r.socket());
    ASSERT_GE(big, 0);
    std::thread writer([&] { write_all(big, std::string(1 << 20, 'x')); });
    EXPECT_EQ(read_some(big, 5000), "{\"error\":\"request too long\"}\n");
    writer.join();
    close(big);

    // Garbage lines are answered with errors; the same client then gets its
    // status.
    int junk = connect_raw(r.socket());
    ASSERT_GE(junk, 0);
    std::string garbage = std::string("\x00\xff{\"x\x01", 7) + "\n" + "status now please\n" + "\r\n";
    ASSERT_EQ(write_all(junk, garbage + "status\n"), garbage.size() + 7);
    std::string answers = read_some(junk, 5000, 1);
    while (korvtest::count_of(answers, "\n") < 4) {
        std::string more = read_some(junk, 5000, 1);
        if (more.empty()) break;
        answers += more;
    }
    std::vector<std::string> lines = korvtest::split_lines(answers);
    ASSERT_EQ(lines.size(), 4u) << answers;
    EXPECT_EQ(lines[0], "{\"error\":\"unknown request\"}");
    EXPECT_EQ(lines[1], "{\"error\":\"usage: status\"}");
    EXPECT_EQ(lines[2], "{\"error\":\"unknown request\"}");
    korvctl_json s;
    EXPECT_EQ(korvctl_json_parse(lines[3], &s, nullptr), 0);
    close(junk);

    // One client asks thousands of times and never reads: korv stops
    // answering it once its buffer is full, serves others meanwhile and drops
    // it after five silent seconds.
    int deaf = connect_raw(r.socket());
    ASSERT_GE(deaf, 0);
    fcntl(deaf, F_SETFL, O_NONBLOCK);
    std::string many;
    while (many.size() < 4000) many += "status\n";
    write_all(deaf, many);
    for (int i = 0; i < 20; i++) ASSERT_EQ(r.ask("log level"), "{\"level\":\"flow\"}") << i;
    EXPECT_TRUE(links_work(r));
    pollfd p = {deaf, POLLRDHUP, 0};
    EXPECT_TRUE(korvtest::wait_until([&] { return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP)); },
                                     15000));
    close(deaf);

    // A client that stays silent while korv stops: the stop is not held.
    int idle = connect_raw(r.socket());
    ASSERT_GE(idle, 0);
    EXPECT_TRUE(links_work(r));
    EXPECT_EQ(r.korv->stop(SIGTERM), 0);
    EXPECT_FALSE(r.root.exists("/dev/socket/korv"));
    close(idle);
}

}  // namespace
