// korvctl's side of the control socket: connect, one request line out, one
// answer line in, within a time limit; a "busy" korv (every client slot
// taken) is asked again until the time is up.  No state outside the call.
#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "korvctl.h"

namespace {

constexpr const char *k_socket_path = "/dev/socket/korv";
constexpr const char *k_busy = "{\"error\":\"busy\"}";
constexpr int k_busy_retry_ms = 100;

long long now_ms() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

int connect_to(const std::string &path, std::string *err, int *connect_errno) {
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path)) return *err = path + ": path too long for a socket", -1;
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return *err = std::string("socket: ") + strerror(errno), -1;
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        if (connect_errno) *connect_errno = errno;
        *err = "cannot reach korv at " + path + ": " + strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

// Reads up to the first newline before the deadline.
int read_line(int fd, long long deadline, std::string *line, std::string *err) {
    char buf[4096];
    for (;;) {
        size_t nl = line->find('\n');
        if (nl != std::string::npos) return line->resize(nl), 0;
        long long left = deadline - now_ms();
        pollfd p = {fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) == 0) return *err = "no answer from korv in time", -1;
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return *err = "korv closed the connection without an answer", -1;
        line->append(buf, static_cast<size_t>(n));
    }
}

} // namespace

std::string korvctl_socket_path(const std::string &root) {
    std::string r = root;
    while (!r.empty() && r.back() == '/') r.pop_back();
    return r + k_socket_path;
}

namespace {

int ask_once(const std::string &socket_path, const std::string &request, long long deadline, std::string *answer,
             std::string *err, int *connect_errno) {
    int fd = connect_to(socket_path, err, connect_errno);
    if (fd < 0) return -1;
    int rc = korvctl_exchange(fd, request, static_cast<int>(deadline - now_ms()), answer, err);
    close(fd);
    return rc;
}

} // namespace

int korvctl_exchange(int fd, const std::string &request, int timeout_ms, std::string *answer, std::string *err) {
    long long deadline = now_ms() + timeout_ms;
    std::string line = request + "\n";
    bool sent = send(fd, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size());
    int send_errno = errno;
    answer->clear();
    /* A korv with every slot taken answers "busy" and closes at once, maybe
     * before the request is in: its answer is read even when the send
     * failed (the closed peer ends the read at once otherwise). */
    int rc = read_line(fd, deadline, answer, err);
    if (rc != 0 && !sent) *err = std::string("sending the request: ") + strerror(send_errno);
    return rc;
}

int korvctl_ask(const std::string &socket_path, const std::string &request, std::string *answer,
                std::string *err, int timeout_ms, int *connect_errno) {
    long long deadline = now_ms() + timeout_ms;
    if (connect_errno) *connect_errno = 0;
    for (;;) {
        int rc = ask_once(socket_path, request, deadline, answer, err, connect_errno);
        if (rc != 0 || *answer != k_busy || now_ms() + k_busy_retry_ms >= deadline) return rc;
        timespec pause = {0, k_busy_retry_ms * 1000000L};
        nanosleep(&pause, nullptr);
    }
}
