/* Work-channel dispatch: records per second of a cheap work message (a
 * waveform type indication of type 2, which korv logs and drops), followed by
 * a SIM power-on request, whose confirmation comes back only after korv has
 * dispatched every record before it.  Baseline: the same framed records over
 * loopback to a plain reader that cuts frames and answers the fence, with no
 * korv.
 *
 * Both sides are fed by the same sender here, one write per record as the
 * framework sends them, with Nagle off so that the fence never waits for an
 * acknowledgement.  fwmd's server is not used here, only its codec: its send
 * renders every message for the transcript, which costs about as much as the
 * dispatch being measured. */
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <thread>

#include "bench.h"
#include "fwmd.h"
#include "kor_msg_cmd.h"

namespace kb {

static int listen_loopback(int *port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || bind(fd, (struct sockaddr *)&a, sizeof a) != 0 || listen(fd, 4) != 0 ||
        getsockname(fd, (struct sockaddr *)&a, &len) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

static int accept_within(int lfd, int timeout_ms)
{
    struct pollfd p = {lfd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1)
        return -1;
    int fd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
    int one = 1;
    if (fd >= 0)
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

static bool write_all(int fd, const uint8_t *p, size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= (size_t)w;
    }
    return true;
}

static uint64_t record_cmd(const uint8_t *rec)
{
    uint64_t cmd;
    memcpy(&cmd, rec + 20, sizeof cmd);
    return cmd;
}

/* Reads framed records until one with the command arrives; false on end of
 * stream, error or time-out. */
static bool read_until(int fd, uint64_t cmd, int timeout_ms)
{
    std::vector<uint8_t> in;
    uint8_t buf[4096];
    uint64_t end = now_ns() + (uint64_t)timeout_ms * 1000000u;
    for (;;) {
        int left = (int)(((int64_t)end - (int64_t)now_ns()) / 1000000);
        struct pollfd p = {fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, left) != 1)
            return false;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            return false;
        in.insert(in.end(), buf, buf + n);
        size_t at = 0;
        while (in.size() - at >= 4) {
            size_t len = (size_t)in[at] << 24 | (size_t)in[at + 1] << 16 | (size_t)in[at + 2] << 8 | in[at + 3];
            if (in.size() - at - 4 < len)
                break;
            if (len >= 28 && record_cmd(&in[at + 4]) == cmd)
                return true;
            at += 4 + len;
        }
        in.erase(in.begin(), in.begin() + (long)at);
    }
}

static std::vector<uint8_t> encode(uint64_t cmd, const fwmd_body &b)
{
    fwmd_msg m;
    m.msg_cmd = cmd;
    m.src = 1;
    m.dst = 2;
    m.body = b.bytes;
    return fwmd_encode(m);
}

/* Sends count cheap records and the fence; seconds until the fence's answer
 * was read, or a negative value. */
static double feed(int fd, int count)
{
    std::vector<uint8_t> cheap = encode(MWRX_WFMGR_KORGR_WF_TYPE_IND, fwmd_body().u32(1).u32(2));
    std::vector<uint8_t> fence = encode(MWRX_WF_CARD_POWERON_REPORT_REQ, fwmd_body().u8(0).u8(1));
    uint64_t t0 = now_ns();
    for (int i = 0; i < count; i++)
        if (!write_all(fd, cheap.data(), cheap.size()))
            return -1;
    if (!write_all(fd, fence.data(), fence.size()) || !read_until(fd, MWRX_WF_CARD_POWERON_REPORT_CNF, 120000))
        return -1;
    return (double)(now_ns() - t0) / 1e9;
}

/* korv on a root of its own, connected to two plain listeners. */
struct plain_session {
    int listen_fd[2] = {-1, -1};
    int conn_fd[2] = {-1, -1};
    std::unique_ptr<session> s;

    bool up(log_mode m, std::string *why)
    {
        int port[2] = {0, 0};
        for (int c = 0; c < 2; c++)
            listen_fd[c] = listen_loopback(&port[c]);
        if (listen_fd[0] < 0 || listen_fd[1] < 0) {
            *why = "cannot listen";
            return false;
        }
        s = std::make_unique<session>(m, port[0], port[1]);
        if (s->korv->pid <= 0)
            *why = "cannot start korv";
        else if ((conn_fd[0] = accept_within(listen_fd[0], 10000)) < 0 ||
                 (conn_fd[1] = accept_within(listen_fd[1], 10000)) < 0)
            *why = "korv did not connect";
        else
            return true;
        return false;
    }

    ~plain_session()
    {
        s.reset();
        for (int c = 0; c < 2; c++)
            for (int fd : {listen_fd[c], conn_fd[c]})
                if (fd >= 0)
                    close(fd);
    }
};

/* The plain reader: what korv's connection would do with no work per record. */
static void plain_reader(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons((uint16_t)port);
    if (fd < 0 || connect(fd, (struct sockaddr *)&a, sizeof a) != 0) {
        if (fd >= 0)
            close(fd);
        return;
    }
    std::vector<uint8_t> answer = encode(MWRX_WF_CARD_POWERON_REPORT_CNF, fwmd_body());
    if (read_until(fd, MWRX_WF_CARD_POWERON_REPORT_REQ, 120000))
        write_all(fd, answer.data(), answer.size());
    close(fd);
}

static double baseline_once(int count, std::string *why)
{
    int port = 0;
    int lfd = listen_loopback(&port);
    if (lfd < 0) {
        *why = "baseline cannot listen";
        return -1;
    }
    std::thread reader(plain_reader, port);
    int fd = accept_within(lfd, 10000);
    double secs = fd < 0 ? -1 : feed(fd, count);
    if (fd >= 0)
        close(fd);
    reader.join();
    close(lfd);
    if (secs < 0)
        *why = "baseline reader did not answer";
    return secs;
}

void figure_dispatch(log_mode m)
{
    std::string name = "work dispatch (records/s)";
    int count = g_opt.smoke ? 500 : 50000;
    /* loopback throughput swings with what else runs on the machine: more,
     * alternating runs keep the medians comparable */
    int runs = g_opt.smoke ? 1 : 5;
    std::string why;
    plain_session s;
    if (!s.up(m, &why))
        return add_failure(name, m, why);
    /* warm-up: korv's first voltage thread, the page cache of its log */
    if (feed(s.conn_fd[0], 10) < 0)
        return add_failure(name, m, "korv did not answer the fence");
    std::vector<double> kr, br;
    for (int i = 0; i < runs; i++) {
        double a = feed(s.conn_fd[0], count);
        if (a < 0)
            return add_failure(name, m, "korv did not answer the fence");
        double b = baseline_once(count, &why);
        if (b < 0)
            return add_failure(name, m, why);
        kr.push_back(count / a);
        br.push_back(count / b);
    }
    double kv = median(kr), bv = median(br);
    add_row({name, log_name(m), grouped(kv), grouped(bv), fmt("%.2f", kv / bv), ">= 0.90",
             kv / bv >= 0.9 ? "met" : "MISSED"});
}

} // namespace kb
