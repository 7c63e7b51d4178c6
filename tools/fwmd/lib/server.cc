/* fwmd server: listens on the work and NV ports of 127.0.0.1, accepts korv's
 * connections and keeps the messages korv sends in one queue per channel.
 *
 * Who owns what: the I/O thread owns the descriptors; it accepts, reads,
 * cuts records and closes connections.  Everyone else only asks: a close
 * request shuts the socket down and the I/O thread sees it end.
 * `mu` guards the channel state (conn_fd, live, count, queue) and the stop
 * flag; `cv` signals changes of them.  Each channel's `send_mu` is held for a
 * whole send, so that messages of several threads never interleave, and by
 * the I/O thread while it closes the channel's connection, so that a sender
 * never writes to a descriptor number that has been reused.  Lock order:
 * send_mu, then mu, then trace_mu. */
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "fwmd.h"

static const size_t k_record_max = 1024;
static const int k_send_wait_ms = 5000;

struct fwmd_chan {
    int listen_fd = -1;
    int port = 0;
    int conn_fd = -1;   /* the current connection, or -1 */
    bool live = false;  /* conn_fd is open and not being closed */
    unsigned count = 0; /* connections accepted so far */
    std::vector<uint8_t> in;
    std::deque<fwmd_msg> queue;
    std::mutex send_mu;
};

struct fwmd_server {
    fwmd_chan ch[2];
    std::mutex mu;
    std::condition_variable cv;
    bool stopping = false;
    int wake[2] = {-1, -1}; /* wakes the I/O thread out of poll */
    std::thread io;
    std::mutex trace_mu;
    FILE *trace = nullptr;
};

static bool valid(fwmd_server *s, int channel)
{
    return s != nullptr && (channel == FWMD_WORK || channel == FWMD_NV);
}

static void trace(fwmd_server *s, int channel, const char *dir, const std::string &text)
{
    std::lock_guard<std::mutex> g(s->trace_mu);
    if (s->trace == nullptr)
        return;
    fprintf(s->trace, "%s %-4s %s\n", dir, fwmd_channel_name(channel), text.c_str());
    fflush(s->trace);
}

/* Rendering a message costs about as much as korv takes to handle it, so it
 * is done only when someone reads the transcript. */
static bool tracing(fwmd_server *s)
{
    std::lock_guard<std::mutex> g(s->trace_mu);
    return s->trace != nullptr;
}

static void wake_io(fwmd_server *s)
{
    char c = 1;
    if (write(s->wake[1], &c, 1) < 0 && errno != EAGAIN)
        perror("fwmd: wake");
}

static int listen_on(int port, int *bound)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons((uint16_t)port);
    socklen_t alen = sizeof a;
    if (bind(fd, (struct sockaddr *)&a, sizeof a) != 0 || listen(fd, 4) != 0 ||
        getsockname(fd, (struct sockaddr *)&a, &alen) != 0) {
        int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    *bound = ntohs(a.sin_port);
    return fd;
}

/* I/O thread: ends the channel's connection (end of stream, error, a close
 * request, or replacement by a newer connection). */
static void drop_conn(fwmd_server *s, int c, const char *why)
{
    fwmd_chan &ch = s->ch[c];
    int fd;
    {
        std::lock_guard<std::mutex> sg(ch.send_mu);
        std::lock_guard<std::mutex> g(s->mu);
        fd = ch.conn_fd;
        ch.conn_fd = -1;
        ch.live = false;
        ch.in.clear();
        if (fd >= 0)
            close(fd);
        s->cv.notify_all();
    }
    if (fd >= 0)
        trace(s, c, "==", std::string("connection closed: ") + why);
}

static void accept_conn(fwmd_server *s, int c)
{
    int fd = accept4(s->ch[c].listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    /* korv restarting may connect before we have seen its old connection
     * end: the newest connection is the one that counts. */
    if (s->ch[c].conn_fd >= 0)
        drop_conn(s, c, "replaced by a new connection");
    unsigned n;
    {
        std::lock_guard<std::mutex> g(s->mu);
        s->ch[c].conn_fd = fd;
        s->ch[c].live = true;
        n = ++s->ch[c].count;
        s->cv.notify_all();
    }
    trace(s, c, "==", "korv connected (connection " + std::to_string(n) + ")");
}


/* Cuts whole records out of the channel's input; false when a frame
 * announces a record korv may not send (the connection is then closed, as
 * korv itself does). */
static bool take_records(fwmd_server *s, int c)
{
    std::vector<uint8_t> &in = s->ch[c].in;
    size_t at = 0;
    bool ok = true;
    while (in.size() - at >= 4) {
        size_t n = (size_t)in[at] << 24 | (size_t)in[at + 1] << 16 | (size_t)in[at + 2] << 8 | in[at + 3];
        if (n > k_record_max) {
            trace(s, c, "<-", "frame of " + std::to_string(n) + " bytes exceeds the record limit");
            ok = false;
            break;
        }
        if (in.size() - at - 4 < n)
            break;
        fwmd_msg m;
        const uint8_t *rec = in.data() + at + 4;
        if (fwmd_decode(rec, n, &m) != 0) {
            trace(s, c, "<-", "record of " + std::to_string(n) + " bytes without a header, dropped: " +
                                  fwmd_hex(rec, n));
        } else {
            trace(s, c, "<-", fwmd_format(m));
            std::lock_guard<std::mutex> g(s->mu);
            s->ch[c].queue.push_back(std::move(m));
            s->cv.notify_all();
        }
        at += 4 + n;
    }
    in.erase(in.begin(), in.begin() + (long)at);
    return ok;
}

static void read_conn(fwmd_server *s, int c)
{
    uint8_t buf[4096];
    ssize_t n = recv(s->ch[c].conn_fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (n <= 0) {
        bool asked;
        {
            std::lock_guard<std::mutex> g(s->mu);
            asked = !s->ch[c].live;
        }
        drop_conn(s, c, asked ? "closed by fwmd" : n == 0 ? "end of stream" : strerror(errno));
        return;
    }
    s->ch[c].in.insert(s->ch[c].in.end(), buf, buf + n);
    if (!take_records(s, c))
        drop_conn(s, c, "stream error");
}

static void io_loop(fwmd_server *s)
{
    for (;;) {
        struct pollfd p[5];
        int owner[5];
        int np = 0;
        p[np] = {s->wake[0], POLLIN, 0};
        owner[np++] = -1;
        for (int c = 0; c < 2; c++) {
            p[np] = {s->ch[c].listen_fd, POLLIN, 0};
            owner[np++] = c;
            if (s->ch[c].conn_fd >= 0) {
                p[np] = {s->ch[c].conn_fd, POLLIN, 0};
                owner[np++] = 2 + c;
            }
        }
        if (poll(p, (nfds_t)np, -1) < 0 && errno != EINTR)
            break;
        if (p[0].revents) {
            char drain[64];
            while (read(s->wake[0], drain, sizeof drain) > 0) {
            }
            std::lock_guard<std::mutex> g(s->mu);
            if (s->stopping)
                break;
        }
        for (int i = 1; i < np; i++) {
            if (p[i].revents == 0)
                continue;
            if (owner[i] < 2)
                accept_conn(s, owner[i]);
            else if (s->ch[owner[i] - 2].conn_fd == p[i].fd)
                read_conn(s, owner[i] - 2);
        }
    }
    for (int c = 0; c < 2; c++)
        if (s->ch[c].conn_fd >= 0)
            drop_conn(s, c, "fwmd stopped");
}

fwmd_server *fwmd_start(int work_port, int nv_port)
{
    fwmd_server *s = new fwmd_server;
    int ports[2] = {work_port, nv_port};
    if (pipe2(s->wake, O_CLOEXEC | O_NONBLOCK) != 0)
        goto fail;
    for (int c = 0; c < 2; c++) {
        s->ch[c].listen_fd = listen_on(ports[c], &s->ch[c].port);
        if (s->ch[c].listen_fd < 0)
            goto fail;
    }
    s->io = std::thread(io_loop, s);
    return s;

fail:
    int err = errno;
    fwmd_stop(s);
    errno = err;
    return nullptr;
}

void fwmd_stop(fwmd_server *s)
{
    if (s == nullptr)
        return;
    if (s->io.joinable()) {
        {
            std::lock_guard<std::mutex> g(s->mu);
            s->stopping = true;
        }
        wake_io(s);
        s->io.join();
    }
    for (int fd : {s->ch[0].listen_fd, s->ch[1].listen_fd, s->wake[0], s->wake[1]})
        if (fd >= 0)
            close(fd);
    delete s;
}

int fwmd_port(fwmd_server *s, int channel)
{
    return valid(s, channel) ? s->ch[channel].port : -1;
}

int fwmd_connected(fwmd_server *s, int channel)
{
    if (!valid(s, channel))
        return 0;
    std::lock_guard<std::mutex> g(s->mu);
    return s->ch[channel].live ? 1 : 0;
}

unsigned fwmd_connection_count(fwmd_server *s, int channel)
{
    if (!valid(s, channel))
        return 0;
    std::lock_guard<std::mutex> g(s->mu);
    return s->ch[channel].count;
}

int fwmd_wait_connection(fwmd_server *s, int channel, unsigned after, int timeout_ms)
{
    if (!valid(s, channel))
        return -1;
    std::unique_lock<std::mutex> g(s->mu);
    fwmd_chan &ch = s->ch[channel];
    bool ok = s->cv.wait_for(g, std::chrono::milliseconds(timeout_ms),
                             [&] { return ch.live && ch.count > after; });
    return ok ? 0 : -1;
}

int fwmd_wait_connected(fwmd_server *s, int channel, int timeout_ms)
{
    return fwmd_wait_connection(s, channel, 0, timeout_ms);
}

FILE *fwmd_set_trace(fwmd_server *s, FILE *sink)
{
    std::lock_guard<std::mutex> g(s->trace_mu);
    FILE *old = s->trace;
    s->trace = sink;
    return old;
}

/* Sends n bytes on the channel's connection, whole, under its send lock. */
/* Sends n bytes whole.  The line for the message is printed before it leaves,
 * so that korv's answer never shows above the request in a transcript. */
static int send_bytes(fwmd_server *s, int channel, const uint8_t *b, size_t n, const std::string &what)
{
    if (!valid(s, channel))
        return -1;
    fwmd_chan &ch = s->ch[channel];
    std::lock_guard<std::mutex> sg(ch.send_mu);
    int fd;
    {
        std::lock_guard<std::mutex> g(s->mu);
        fd = ch.live ? ch.conn_fd : -1;
    }
    if (fd < 0) {
        trace(s, channel, "->", "not sent (korv is not connected): " + what);
        return -1;
    }
    trace(s, channel, "->", what);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(k_send_wait_ms);
    while (n > 0) {
        ssize_t w = send(fd, b, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w > 0) {
            b += w;
            n -= (size_t)w;
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if ((w < 0 && errno != EAGAIN) || left.count() <= 0) {
            trace(s, channel, "->", std::string("send failed (") + strerror(w < 0 ? errno : ETIMEDOUT) +
                                        ")");
            return -1;
        }
        struct pollfd p = {fd, POLLOUT, 0};
        poll(&p, 1, (int)left.count());
    }
    return 0;
}

int fwmd_send(fwmd_server *s, int channel, const fwmd_msg &msg)
{
    std::vector<uint8_t> rec = fwmd_encode(msg);
    std::string what;
    if (tracing(s)) {
        fwmd_msg shown = msg;
        shown.len = rec.size() - 4;
        shown.body_len = msg.body.size();
        what = fwmd_format(shown);
    }
    return send_bytes(s, channel, rec.data(), rec.size(), what);
}

int fwmd_send_cmd(fwmd_server *s, int channel, uint64_t msg_cmd, const fwmd_body &body,
                  uint64_t wf_id, uint16_t src, uint16_t dst)
{
    return fwmd_send(s, channel, fwmd_make(msg_cmd, body, wf_id, src, dst));
}

int fwmd_send_raw(fwmd_server *s, int channel, const void *bytes, size_t n)
{
    const uint8_t *b = (const uint8_t *)bytes;
    std::string what = tracing(s) ? "raw " + std::to_string(n) + " bytes: " + fwmd_hex(b, n) : "";
    return send_bytes(s, channel, b, n, what);
}

/* Takes the first queued message that `match` accepts, waiting up to
 * timeout_ms for one. */
template <typename F>
static int take_msg(fwmd_server *s, int channel, fwmd_msg *out, int timeout_ms, F match)
{
    if (!valid(s, channel))
        return -1;
    std::unique_lock<std::mutex> g(s->mu);
    std::deque<fwmd_msg> &q = s->ch[channel].queue;
    std::deque<fwmd_msg>::iterator it;
    auto found = [&] {
        for (it = q.begin(); it != q.end(); ++it)
            if (match(*it))
                return true;
        return false;
    };
    if (!s->cv.wait_for(g, std::chrono::milliseconds(timeout_ms), found))
        return -1;
    if (out != nullptr)
        *out = std::move(*it);
    q.erase(it);
    return 0;
}

int fwmd_recv(fwmd_server *s, int channel, fwmd_msg *out, int timeout_ms)
{
    return take_msg(s, channel, out, timeout_ms, [](const fwmd_msg &) { return true; });
}

int fwmd_expect(fwmd_server *s, int channel, uint64_t msg_cmd, fwmd_msg *out, int timeout_ms)
{
    return take_msg(s, channel, out, timeout_ms,
                    [msg_cmd](const fwmd_msg &m) { return m.msg_cmd == msg_cmd; });
}

void fwmd_close_channel(fwmd_server *s, int channel)
{
    if (!valid(s, channel))
        return;
    std::lock_guard<std::mutex> g(s->mu);
    fwmd_chan &ch = s->ch[channel];
    if (ch.conn_fd >= 0 && ch.live) {
        shutdown(ch.conn_fd, SHUT_RDWR); /* the I/O thread sees the end and closes */
        ch.live = false;
        s->cv.notify_all();
    }
}
