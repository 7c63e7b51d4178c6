/* write_parcel: whole messages from several threads on one socket, and the
 * failure path that hands the parcel to its handler. */
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "cutils/record_stream.h"
#include "kor_msg.h"

namespace {

/* A connected TCP pair on the loopback, as korv's links are: unlike a local
 * socketpair, TCP cuts sends short when the window is full. */
void tcp_pair(int sv[2])
{
    int l = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t alen = sizeof a;
    ASSERT_EQ(bind(l, (struct sockaddr *)&a, sizeof a), 0);
    ASSERT_EQ(listen(l, 1), 0);
    ASSERT_EQ(getsockname(l, (struct sockaddr *)&a, &alen), 0);
    sv[0] = socket(AF_INET, SOCK_STREAM, 0);
    int small = 16384;
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    ASSERT_EQ(connect(sv[0], (struct sockaddr *)&a, sizeof a), 0);
    sv[1] = accept(l, nullptr, nullptr);
    setsockopt(sv[1], SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    close(l);
}

TEST(WriteParcel, MessagesOfSeveralThreadsArriveWhole)
{
    int sv[2];
    tcp_pair(sv);
    fcntl(sv[0], F_SETFL, O_NONBLOCK);
    fcntl(sv[1], F_SETFL, O_NONBLOCK);
    const int threads = 4, per_thread = 60, words = 240;

    std::atomic<int> send_failed{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < threads; t++) {
        senders.emplace_back([&, t] {
            for (int i = 0; i < per_thread; i++) {
                sca_header_st h = {0, (uint64_t)t, 1, 2, 0x100u + (unsigned)i, 0};
                parcel_write_st *p = parcel_write_new(sv[0], KOR_RECORD_MAX, &h);
                for (int w = 0; w < words; w++)
                    parcel_write_UINT32(p, (uint32_t)(t << 16 | i));
                send_failed += write_parcel(p) != 0;
            }
        });
    }
    RecordStream *rs = record_stream_new(sv[1], KOR_RECORD_MAX);
    std::vector<int> next(threads, 0);
    int got = 0, broken = 0;
    std::string failure;
    while (got < threads * per_thread && failure.empty()) {
        void *rec;
        size_t len;
        int rc = record_stream_get_next(rs, &rec, &len);
        if (rc < 0 && errno == EAGAIN) {
            struct pollfd p = {sv[1], POLLIN, 0};
            if (poll(&p, 1, 10000) <= 0)
                failure = "senders stalled";
            continue;
        }
        parcel_read_st *p = nullptr;
        sca_header_st *h = rc == 0 && rec ? parse_sca_header(rec, len, &p) : nullptr;
        if (h == nullptr || h->wf_id >= (uint64_t)threads) {
            failure = "record " + std::to_string(got) + " is not a whole message";
        } else {
            int t = (int)h->wf_id;
            EXPECT_EQ(h->msg_cmd, 0x100u + (unsigned)next[t]) << "thread " << t << " out of order";
            for (int w = 0; w < words; w++)
                broken += parcel_read_UINT32(p) != (uint32_t)(t << 16 | next[t]);
            next[t]++;
            got++;
        }
        free_parcel_sca_header(h);
        free_parcel_read(p);
    }
    shutdown(sv[1], SHUT_RDWR); /* after a failure: lets blocked senders give up */
    for (std::thread &t : senders)
        t.join();
    EXPECT_EQ(failure, "");
    EXPECT_EQ(send_failed, 0);
    EXPECT_EQ(broken, 0);
    record_stream_free(rs);
    close(sv[0]);
    close(sv[1]);
}

int s_failed_fd = -2;
uint32_t s_failed_len = 0;
int s_failed_calls = 0;

void on_failed(parcel_write_st *p)
{
    s_failed_calls++;
    s_failed_fd = p->fd;
    s_failed_len = p->length;
}

TEST(WriteParcel, FailureHandsTheParcelToItsHandlerWithoutSigpipe)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    close(sv[1]); /* a send now raises SIGPIPE unless suppressed */
    sca_header_st h = {};
    parcel_write_st *p = parcel_write_new(sv[0], 100, &h);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->on_write_failed, nullptr) << "a new parcel has no handler";
    p->on_write_failed = on_failed;
    parcel_write_UINT32(p, 7);
    parcel_write_UINT8(p, 1);
    EXPECT_EQ(write_parcel(p), -1);
    EXPECT_EQ(s_failed_calls, 1);
    EXPECT_EQ(s_failed_fd, sv[0]);
    EXPECT_EQ(s_failed_len, (uint32_t)SCA_HEADER_SIZE + 5);

    p = parcel_write_new(sv[0], 100, &h); /* no handler: only logged */
    EXPECT_EQ(write_parcel(p), -1);
    EXPECT_EQ(s_failed_calls, 1);
    EXPECT_EQ(write_parcel(nullptr), -1);
    close(sv[0]);
}

}  // namespace
