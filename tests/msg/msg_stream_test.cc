/* The record stream on a non-blocking socket (whole, partial, oversized
 * records, end of stream) and write_parcel (whole messages from several
 * threads, the failure path). */
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


struct stream_pair {
    int sv[2];
    RecordStream *rs;
    stream_pair()
    {
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        fcntl(sv[1], F_SETFL, O_NONBLOCK);
        rs = record_stream_new(sv[1], 1024);
    }
    ~stream_pair()
    {
        record_stream_free(rs);
        close(sv[0]);
        close(sv[1]);
    }
    void put(const std::string &bytes) { ASSERT_EQ(write(sv[0], bytes.data(), bytes.size()), (ssize_t)bytes.size()); }
    /* The next record, "<EOS>" at end of stream, or "<errno N>" on -1. */
    std::string next()
    {
        void *p = nullptr;
        size_t n = 0;
        errno = 0;
        if (record_stream_get_next(rs, &p, &n) != 0)
            return "<errno " + std::to_string(errno) + ">";
        return p == nullptr ? "<EOS>" : std::string((const char *)p, n);
    }
    void expect(const std::vector<std::string> &want)
    {
        for (const std::string &w : want)
            EXPECT_EQ(next(), w);
    }
};

const std::string EAGAIN_ = "<errno " + std::to_string(EAGAIN) + ">";

std::string frame(const std::string &rec)
{
    size_t n = rec.size();
    return std::string{(char)(n >> 24), (char)(n >> 16), (char)(n >> 8), (char)n} + rec;
}

TEST(RecordStream, WholeRecordsOfOneReadComeOutInOrderThenEagain)
{
    stream_pair s;
    s.put(frame("first") + frame("") + frame("third record"));
    s.expect({"first", "" /* an empty record is still a record */, "third record", EAGAIN_});
}

TEST(RecordStream, HalfARecordWaitsForTheRest)
{
    stream_pair s;
    const std::string big(1024, 'x'), f = frame(big);
    s.put(f.substr(0, 2));
    s.expect({EAGAIN_});
    s.put(f.substr(2, 600));
    s.expect({EAGAIN_});
    s.put(f.substr(602) + frame("next"));
    s.expect({big /* the largest record fits */, "next"});
}

std::string header(uint32_t n)
{
    return std::string{(char)(n >> 24), (char)(n >> 16), (char)(n >> 8), (char)n};
}

/* A record above 1024 bytes can never be completed, but the stream only says
 * so (EFBIG, for good) once its 1028-byte buffer is full; until then it waits
 * like for any other partial record. */
TEST(RecordStream, OversizedFrameFailsOnceTheBufferIsFull)
{
    const std::string efbig = "<errno " + std::to_string(EFBIG) + ">";
    {
        stream_pair s;
        s.put(frame("ok") + header(1025) + std::string(1025, 'y'));
        s.expect({"ok", EAGAIN_ /* the last bytes fill the buffer */, efbig, efbig});
    }
    {
        stream_pair s;
        s.put(header(2000) + std::string(100, 'z'));
        s.expect({EAGAIN_, EAGAIN_, EAGAIN_}); /* silence: it waits for ever */
        s.put(std::string(924, 'z'));
        s.expect({EAGAIN_, efbig});
        shutdown(s.sv[0], SHUT_WR);
        s.expect({efbig}); /* not even the end of the stream gets through */
    }
}

/* Without a record the length is left as it was; the record pointer is
 * cleared only when a read found nothing (no data, or the end of the stream),
 * which is how korv tells the end of a stream from a record. */
TEST(RecordStream, WithoutARecordTheOutArgumentsAreLeftAlone)
{
    stream_pair s;
    int mark = 0;
    auto call = [&](int *rc) {
        void *p = &mark;
        size_t n = 77;
        *rc = record_stream_get_next(s.rs, &p, &n);
        EXPECT_EQ(n, 77u);
        return p == &mark ? "untouched" : p == nullptr ? "null" : "record";
    };
    int rc;
    EXPECT_STREQ(call(&rc), "null"); /* nothing to read */
    EXPECT_EQ(rc, -1);
    s.put(header(10) + "abc");
    EXPECT_STREQ(call(&rc), "untouched"); /* part of a record read */
    EXPECT_EQ(rc, -1);
    s.put(std::string(7, 'd'));
    void *p = nullptr;
    size_t n = 0;
    ASSERT_EQ(record_stream_get_next(s.rs, &p, &n), 0);
    EXPECT_EQ(std::string((const char *)p, n), "abc" + std::string(7, 'd'));
    shutdown(s.sv[0], SHUT_WR);
    EXPECT_STREQ(call(&rc), "null"); /* the end of the stream */
    EXPECT_EQ(rc, 0);
}

TEST(RecordStream, EndOfStreamAfterTheBufferedRecords)
{
    stream_pair s;
    s.put(frame("last") + frame("cut").substr(0, 5));
    shutdown(s.sv[0], SHUT_WR);
    /* a partial frame ends with the stream */
    s.expect({"last", "<EOS>", "<EOS>"});
}



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

/* What the write-failure handler was given. */
struct failure_seen {
    int calls = 0, fd = -2;
    uint32_t len = 0;
} s_failed;

TEST(WriteParcel, FailureHandsTheParcelToItsHandlerWithoutSigpipe)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    close(sv[1]); /* a send now raises SIGPIPE unless suppressed */
    sca_header_st h = {};
    parcel_write_st *p = parcel_write_new(sv[0], 100, &h);
    ASSERT_NE(p, nullptr);
    p->on_write_failed = [](parcel_write_st *w) { s_failed = {s_failed.calls + 1, w->fd, w->length}; };
    parcel_write_UINT32(p, 7);
    parcel_write_UINT8(p, 1);
    EXPECT_EQ(write_parcel(p), -1);
    EXPECT_EQ(s_failed.calls, 1);
    EXPECT_EQ(s_failed.fd, sv[0]);
    EXPECT_EQ(s_failed.len, (uint32_t)SCA_HEADER_SIZE + 5);

    p = parcel_write_new(sv[0], 100, &h); /* no handler: only logged */
    EXPECT_EQ(write_parcel(p), -1);
    EXPECT_EQ(s_failed.calls, 1);
    EXPECT_EQ(write_parcel(nullptr), -1);
    close(sv[0]);
}

}  // namespace
