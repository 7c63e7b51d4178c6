/* record_stream on a non-blocking socket: whole records in order, partial
 * records, oversized frames and end of stream. */
#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "cutils/record_stream.h"

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
    /* result, and the record as text ("" when none) */
    int next(std::string *rec)
    {
        void *p = nullptr;
        size_t n = 99;
        int rc = record_stream_get_next(rs, &p, &n);
        *rec = p ? std::string((const char *)p, n) : "";
        if (p == nullptr) {
            EXPECT_EQ(n, 0u);
        }
        return rc;
    }
};

std::string frame(const std::string &rec)
{
    size_t n = rec.size();
    return std::string{(char)(n >> 24), (char)(n >> 16), (char)(n >> 8), (char)n} + rec;
}

TEST(RecordStream, WholeRecordsOfOneReadComeOutInOrderThenEagain)
{
    stream_pair s;
    s.put(frame("first") + frame("") + frame("third record"));
    std::string rec;
    EXPECT_EQ(s.next(&rec), 0);
    EXPECT_EQ(rec, "first");
    EXPECT_EQ(s.next(&rec), 0);
    EXPECT_EQ(rec, "") << "an empty record is still a record";
    EXPECT_EQ(s.next(&rec), 0);
    EXPECT_EQ(rec, "third record");
    EXPECT_EQ(s.next(&rec), -1);
    EXPECT_EQ(errno, EAGAIN);
}

TEST(RecordStream, HalfARecordWaitsForTheRest)
{
    stream_pair s;
    std::string f = frame(std::string(1024, 'x'));
    std::string rec;
    s.put(f.substr(0, 2));
    EXPECT_EQ(s.next(&rec), -1);
    EXPECT_EQ(errno, EAGAIN);
    s.put(f.substr(2, 600));
    EXPECT_EQ(s.next(&rec), -1);
    EXPECT_EQ(errno, EAGAIN);
    s.put(f.substr(602) + frame("next"));
    EXPECT_EQ(s.next(&rec), 0);
    EXPECT_EQ(rec, std::string(1024, 'x')) << "the largest record fits";
    EXPECT_EQ(s.next(&rec), 0);
    EXPECT_EQ(rec, "next");
}

TEST(RecordStream, OversizedFrameFailsTheStreamForGood)
{
    stream_pair s;
    s.put(frame("ok") + std::string("\x00\x00\x04\x01", 4) + std::string(1025, 'y'));
    std::string rec;
    EXPECT_EQ(s.next(&rec), 0);
    EXPECT_EQ(rec, "ok");
    for (int i = 0; i < 2; i++) {
        errno = 0;
        EXPECT_EQ(s.next(&rec), -1);
        EXPECT_NE(errno, EAGAIN);
        EXPECT_NE(errno, EINTR);
        EXPECT_EQ(errno, EFBIG);
    }
}

TEST(RecordStream, EndOfStreamAfterTheBufferedRecords)
{
    stream_pair s;
    s.put(frame("last") + frame("cut").substr(0, 5));
    shutdown(s.sv[0], SHUT_WR);
    std::string rec;
    EXPECT_EQ(s.next(&rec), 0);
    EXPECT_EQ(rec, "last");
    EXPECT_EQ(s.next(&rec), 0);
    EXPECT_EQ(rec, "") << "end of stream has no record; a partial frame ends with it";
    EXPECT_EQ(s.next(&rec), 0);
    EXPECT_EQ(rec, "");

}

}  // namespace
