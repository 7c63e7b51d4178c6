/* The fwmd server against a plain TCP client standing in for korv. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "fwmd.h"
#include "kor_msg_cmd.h"

namespace {

int connect_to(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons((uint16_t)port);
    EXPECT_EQ(connect(fd, (struct sockaddr *)&a, sizeof a), 0);
    return fd;
}

/* Reads exactly n bytes, or fewer when the stream ends or 5 s pass. */
std::vector<uint8_t> read_n(int fd, size_t n)
{
    std::vector<uint8_t> got;
    while (got.size() < n) {
        struct pollfd p = {fd, POLLIN, 0};
        uint8_t buf[1100];
        if (poll(&p, 1, 5000) <= 0)
            break;
        ssize_t r = read(fd, buf, std::min(sizeof buf, n - got.size()));
        if (r <= 0)
            break;
        got.insert(got.end(), buf, buf + r);
    }
    return got;
}

bool at_eof(int fd)
{
    struct pollfd p = {fd, POLLIN, 0};
    char c;
    return poll(&p, 1, 5000) == 1 && read(fd, &c, 1) <= 0;
}

fwmd_msg make(uint64_t cmd, fwmd_body body, uint64_t wf_id = 0)
{
    fwmd_msg m;
    m.msg_cmd = cmd;
    m.wf_id = wf_id;
    m.src = 2;
    m.dst = 1;
    m.body = body.bytes;
    return m;
}

void put(int fd, const std::vector<uint8_t> &b)
{
    ASSERT_EQ(write(fd, b.data(), b.size()), (ssize_t)b.size());
}

TEST(FwmdServer, TalksToAPlainClientBothWays)
{
    fwmd_server *s = fwmd_start(0, 0);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(fwmd_connected(s, FWMD_NV), 0);
    EXPECT_EQ(fwmd_send_cmd(s, FWMD_NV, MWRX_WFMGR_LOAD_REQ, fwmd_body()), -1) << "nobody connected";
    int c = connect_to(fwmd_port(s, FWMD_NV));
    ASSERT_EQ(fwmd_wait_connected(s, FWMD_NV, 5000), 0);
    EXPECT_EQ(fwmd_connected(s, FWMD_WORK), 0);

    /* client -> fwmd: two messages in one write, then one cut in two */
    std::vector<uint8_t> two = fwmd_encode(make(MWRX_WFMGR_LOAD_CNF, fwmd_body().u32(1).u32(4096).u32(0), 7));
    std::vector<uint8_t> other = fwmd_encode(make(0x99, fwmd_body().u8(5)));
    two.insert(two.end(), other.begin(), other.end());
    put(c, two);
    std::vector<uint8_t> third = fwmd_encode(make(0x98, fwmd_body()));
    put(c, std::vector<uint8_t>(third.begin(), third.begin() + 10));
    fwmd_msg m;
    ASSERT_EQ(fwmd_expect(s, FWMD_NV, 0x99, &m, 5000), 0) << "expect skips what it does not want";
    EXPECT_EQ(m.body, std::vector<uint8_t>{5});
    ASSERT_EQ(fwmd_recv(s, FWMD_NV, &m, 5000), 0);
    EXPECT_EQ(m.msg_cmd, MWRX_WFMGR_LOAD_CNF);
    EXPECT_EQ(m.wf_id, 7u);
    EXPECT_EQ(m.src, 2);
    EXPECT_EQ(m.len, 48u);
    EXPECT_EQ(m.body_len, 12u);
    EXPECT_EQ(fwmd_body_u32(m, 4), 4096u);
    EXPECT_EQ(fwmd_body_u32(m, 10), 0u) << "past the end reads 0";
    EXPECT_EQ(fwmd_recv(s, FWMD_NV, &m, 50), -1) << "the third is not whole yet";
    put(c, std::vector<uint8_t>(third.begin() + 10, third.end()));
    ASSERT_EQ(fwmd_recv(s, FWMD_NV, &m, 5000), 0);
    EXPECT_EQ(m.msg_cmd, 0x98u);

    /* fwmd -> client */
    ASSERT_EQ(fwmd_send_cmd(s, FWMD_NV, MWRX_WFMGR_NV_MODIFY_IND, fwmd_body().u32(0), 9, 1, 2), 0);
    std::vector<uint8_t> want = fwmd_encode(make(MWRX_WFMGR_NV_MODIFY_IND, fwmd_body().u32(0), 9));
    want[4 + 16] = 1; /* src 1, dst 2 */
    want[4 + 18] = 2;
    EXPECT_EQ(read_n(c, want.size()), want);
    ASSERT_EQ(fwmd_send_raw(s, FWMD_NV, "\x00\x00", 2), 0);
    EXPECT_EQ(read_n(c, 2), (std::vector<uint8_t>{0, 0}));

    fwmd_close_channel(s, FWMD_NV);
    EXPECT_EQ(fwmd_connected(s, FWMD_NV), 0);
    EXPECT_TRUE(at_eof(c));
    close(c);
    fwmd_stop(s);
}

TEST(FwmdServer, NewConnectionsReplaceOldOnesAndAreCounted)
{
    fwmd_server *s = fwmd_start(0, 0);
    ASSERT_NE(s, nullptr);
    int first = connect_to(fwmd_port(s, FWMD_WORK));
    ASSERT_EQ(fwmd_wait_connection(s, FWMD_WORK, 0, 5000), 0);
    EXPECT_EQ(fwmd_connection_count(s, FWMD_WORK), 1u);
    EXPECT_EQ(fwmd_wait_connection(s, FWMD_WORK, 1, 50), -1) << "no second connection yet";

    int second = connect_to(fwmd_port(s, FWMD_WORK)); /* korv restarted before the old link ended */
    ASSERT_EQ(fwmd_wait_connection(s, FWMD_WORK, 1, 5000), 0);
    EXPECT_TRUE(at_eof(first)) << "the older connection is dropped";
    ASSERT_EQ(fwmd_send_cmd(s, FWMD_WORK, MWRX_WFMGR_FW_EXCEPTION_REQ, fwmd_body()), 0);
    EXPECT_EQ(read_n(second, 40).size(), 40u) << "messages go to the newest connection";

    close(second); /* end of stream: not connected, count kept */
    ASSERT_TRUE([&] {
        for (int i = 0; i < 500 && fwmd_connected(s, FWMD_WORK); i++)
            usleep(10000);
        return !fwmd_connected(s, FWMD_WORK);
    }());
    EXPECT_EQ(fwmd_connection_count(s, FWMD_WORK), 2u);
    int third = connect_to(fwmd_port(s, FWMD_WORK));
    EXPECT_EQ(fwmd_wait_connection(s, FWMD_WORK, 2, 5000), 0);

    /* a frame korv could never send ends the connection */
    put(third, {0, 0, 0x04, 0x01});
    EXPECT_TRUE(at_eof(third));
    close(first);
    close(third);
    fwmd_stop(s);
}

TEST(FwmdServer, RefusesAPortInUse)
{
    fwmd_server *a = fwmd_start(0, 0);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(fwmd_start(fwmd_port(a, FWMD_WORK), 0), nullptr);
    fwmd_stop(a);
}

}  // namespace
