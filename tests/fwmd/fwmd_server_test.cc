/* The fwmd server against plain TCP clients standing in for korv, and a
 * scenario played against a fake korv (a thread speaking the wire format with
 * the adapter's codec, a FIFO, a pty and files in a temporary root). */
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "fwmd.h"
#include "harness.h"
#include "kor_msg.h"
#include "kor_msg_cmd.h"
#include "scenario.h"

namespace {

/* A client connected to the loopback port, or -1. */
inline int connect_to(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons((uint16_t)port);
    return connect(fd, (struct sockaddr *)&a, sizeof a) == 0 ? fd : (close(fd), -1);
}

/* Exactly n bytes, or fewer when the stream ends or 5 s pass. */
inline std::vector<uint8_t> read_n(int fd, size_t n)
{
    std::vector<uint8_t> got;
    while (got.size() < n) {
        struct pollfd p = {fd, POLLIN, 0};
        uint8_t buf[1100];
        ssize_t r = poll(&p, 1, 5000) <= 0 ? 0 : read(fd, buf, std::min(sizeof buf, n - got.size()));
        if (r <= 0)
            break;
        got.insert(got.end(), buf, buf + r);
    }
    return got;
}

/* One framed record; empty at end of stream. */
inline std::vector<uint8_t> read_record(int fd)
{
    std::vector<uint8_t> len = read_n(fd, 4);
    size_t n = len.size() < 4 ? 0 : (size_t)len[0] << 24 | len[1] << 16 | len[2] << 8 | len[3];
    std::vector<uint8_t> rec = read_n(fd, n);
    return rec.size() == n ? rec : std::vector<uint8_t>{};
}

bool at_eof(int fd)
{
    struct pollfd p = {fd, POLLIN, 0};
    char c;
    return poll(&p, 1, 5000) == 1 && read(fd, &c, 1) <= 0;
}

std::vector<uint8_t> encoded(uint64_t cmd, fwmd_body body, uint64_t wf_id = 0, uint16_t src = 2, uint16_t dst = 1)
{
    return fwmd_encode(fwmd_make(cmd, body, wf_id, src, dst));
}

void put(int fd, const std::vector<uint8_t> &b)
{
    ASSERT_EQ(write(fd, b.data(), b.size()), (ssize_t)b.size());
}

TEST(FwmdServer, TalksToPlainClientsBothWaysAndCountsConnectionsThatReplaceOldOnes)
{
    fwmd_server *s = fwmd_start(0, 0);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(fwmd_connected(s, FWMD_NV), 0);
    EXPECT_EQ(fwmd_send_cmd(s, FWMD_NV, MWRX_WFMGR_LOAD_REQ, fwmd_body()), -1) << "nobody connected";
    int c = connect_to(fwmd_port(s, FWMD_NV));
    ASSERT_EQ(fwmd_wait_connected(s, FWMD_NV, 5000), 0);
    EXPECT_EQ(fwmd_connected(s, FWMD_WORK), 0);

    /* client -> fwmd: two messages in one write, then one cut in two */
    std::vector<uint8_t> two = encoded(MWRX_WFMGR_LOAD_CNF, fwmd_body().u32(1).u32(4096).u32(0), 7);
    std::vector<uint8_t> other = encoded(0x99, fwmd_body().u8(5)), third = encoded(0x98, fwmd_body());
    two.insert(two.end(), other.begin(), other.end());
    put(c, two);
    put(c, std::vector<uint8_t>(third.begin(), third.begin() + 10));
    fwmd_msg m;
    ASSERT_EQ(fwmd_expect(s, FWMD_NV, 0x99, &m, 5000), 0) << "expect skips what it does not want";
    EXPECT_EQ(m.body, std::vector<uint8_t>{5});
    ASSERT_EQ(fwmd_recv(s, FWMD_NV, &m, 5000), 0);
    EXPECT_EQ(fwmd_format(m), "MWRX_WFMGR_LOAD_CNF [len:48 wf_id:7 src:2 dst:1 body_len:12] flag=1 count=4096 "
                              "reserved=0");
    EXPECT_EQ(fwmd_body_u32(m, 4), 4096u);
    EXPECT_EQ(fwmd_body_u32(m, 10), 0u) << "past the end reads 0";
    EXPECT_EQ(fwmd_recv(s, FWMD_NV, &m, 50), -1) << "the third is not whole yet";
    put(c, std::vector<uint8_t>(third.begin() + 10, third.end()));
    ASSERT_EQ(fwmd_recv(s, FWMD_NV, &m, 5000), 0);
    EXPECT_EQ(m.msg_cmd, 0x98u);

    /* fwmd -> client */
    ASSERT_EQ(fwmd_send_cmd(s, FWMD_NV, MWRX_WFMGR_NV_MODIFY_IND, fwmd_body().u32(0), 9, 1, 2), 0);
    std::vector<uint8_t> want = encoded(MWRX_WFMGR_NV_MODIFY_IND, fwmd_body().u32(0), 9, 1, 2);
    EXPECT_EQ(read_n(c, want.size()), want);
    ASSERT_EQ(fwmd_send_raw(s, FWMD_NV, "\x00\x00", 2), 0);
    EXPECT_EQ(read_n(c, 2), (std::vector<uint8_t>{0, 0}));

    fwmd_close_channel(s, FWMD_NV);
    EXPECT_EQ(fwmd_connected(s, FWMD_NV), 0);
    EXPECT_TRUE(at_eof(c));
    close(c);

    /* work: a port in use is refused; new connections replace old ones */
    const int port = fwmd_port(s, FWMD_WORK);
    EXPECT_EQ(fwmd_start(port, 0), nullptr) << "the port is in use";
    int first = connect_to(port);
    ASSERT_EQ(fwmd_wait_connection(s, FWMD_WORK, 0, 5000), 0);
    EXPECT_EQ(fwmd_connection_count(s, FWMD_WORK), 1u);
    EXPECT_EQ(fwmd_wait_connection(s, FWMD_WORK, 1, 50), -1) << "no second connection yet";

    int second = connect_to(port); /* korv restarted before the old link ended */
    ASSERT_EQ(fwmd_wait_connection(s, FWMD_WORK, 1, 5000), 0);
    EXPECT_TRUE(at_eof(first)) << "the older connection is dropped";
    ASSERT_EQ(fwmd_send_cmd(s, FWMD_WORK, MWRX_WFMGR_FW_EXCEPTION_REQ, fwmd_body()), 0);
    EXPECT_EQ(read_n(second, 40).size(), 40u) << "messages go to the newest connection";

    close(second); /* end of stream: not connected, count kept */
    ASSERT_TRUE(korvtest::wait_until([&] { return !fwmd_connected(s, FWMD_WORK); }, 5000));
    EXPECT_EQ(fwmd_connection_count(s, FWMD_WORK), 2u);
    int last = connect_to(port);
    EXPECT_EQ(fwmd_wait_connection(s, FWMD_WORK, 2, 5000), 0);

    /* a frame korv could never send ends the connection */
    put(last, {0, 0, 0x04, 0x01});
    EXPECT_TRUE(at_eof(last));
    close(first);
    close(last);
    fwmd_stop(s);
}

/* Just enough of korv for the scenario below: answers a load request and a
 * framework exception request (through the adapter's writer), writes a file,
 * a property and a journal line, turns a dump record on the FIFO into
 * notification 1, reconnects a link when fwmd closes it. */
struct fake_korv {
    korvtest::sim_root root{false};
    int ports[2], fds[2];
    int fifo = -1, ptm = -1;
    std::atomic<bool> stop{false};
    std::thread t;

    explicit fake_korv(fwmd_server *s) : ports{fwmd_port(s, FWMD_WORK), fwmd_port(s, FWMD_NV)}
    {
        mkdir(root.path("/dev").c_str(), 0755);
        mkfifo(root.path("/dev/socbridge").c_str(), 0600);
        fifo = open(root.path("/dev/socbridge").c_str(), O_RDWR | O_NONBLOCK);
        ptm = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(ptm);
        unlockpt(ptm);
        symlink(ptsname(ptm), root.path("/dev/ttyled").c_str());
        for (int c = 0; c < 2; c++)
            fds[c] = connect_to(ports[c]);
        t = std::thread([this] { run(); });
    }
    ~fake_korv()
    {
        stop = true;
        t.join();
        for (int fd : {fds[0], fds[1], fifo, ptm})
            close(fd);
    }
    void reply(int fd, const fwmd_msg &req, uint32_t cmd, std::vector<uint32_t> body)
    {
        sca_header_st h = {0, req.wf_id, req.dst, req.src, cmd, 0};
        parcel_write_st *p = parcel_write_new(fd, 100, &h);
        for (uint32_t v : body)
            parcel_write_UINT32(p, v);
        write_parcel(p);
    }
    void on_record(int fd, const std::vector<uint8_t> &rec)
    {
        fwmd_msg m;
        if (fwmd_decode(rec.data(), rec.size(), &m) != 0)
            return;
        if (m.msg_cmd == MWRX_WFMGR_LOAD_REQ) {
            korvtest::write_file(root.path("/data/nv.bin"), std::string(16, '\0') + "ABCD");
            korvtest::write_file(root.path("/dev/__properties__/persist.sys.modem.exception"), "1");
            korvtest::write_file(root.path("/dev/modem.log"), "WF_BIN_LOAD path=/data/u.bin dst=0x0 len=4096 = 0\n");
            reply(fd, m, MWRX_WFMGR_LOAD_CNF, {fwmd_body_u32(m, 0), fwmd_body_u32(m, 4), 0});
        } else if (m.msg_cmd == MWRX_WFMGR_FW_EXCEPTION_REQ) {
            reply(fd, m, MWRX_WFMGR_FW_EXCEPTION_CNF, {});
        }
    }
    void run()
    {
        while (!stop) {
            struct pollfd pf[3] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}, {fifo, POLLIN, 0}};
            if (poll(pf, 3, 20) <= 0)
                continue;
            for (int c = 0; c < 2; c++) {
                if (!pf[c].revents)
                    continue;
                std::vector<uint8_t> rec = read_record(fds[c]);
                if (!rec.empty()) {
                    on_record(fds[c], rec);
                } else { /* fwmd closed the link: come back, as korv's restart would */
                    close(fds[c]);
                    fds[c] = connect_to(ports[c]);
                }
            }
            char buf[64];
            if (pf[2].revents && read(fifo, buf, sizeof buf) >= 3 && memcmp(buf, "ME\x02", 3) == 0) {
                EXPECT_EQ(write(ptm, "\x01\x00\x00\x00", 4), 4);
            }
        }
    }
};

const char *k_scenario = R"(# a fake korv, every kind of step
timeout 5000
label "korv connects"
connect work
connect nv
note loading a binary
send nv MWRX_WFMGR_LOAD_REQ wf_id=7 u32_flag=1 u32_req_len=4096 name=u.bin
label "load confirmed"
expect nv MWRX_WFMGR_LOAD_CNF wf_id=7 flag=1 count=4096
label "file written"
file /data/nv.bin 16 AB hex:4344
prop persist.sys.modem.exception 1
journal "WF_BIN_LOAD path=/data/u.bin"
notify-open
socbridge ME u32:2 u32:0
label "notification 1"
notify 1
close work
label "work link back"
reconnect work
send work MWRX_WFMGR_FW_EXCEPTION_REQ
expect work MWRX_WFMGR_FW_EXCEPTION_CNF src=2 dst=1
label "a second confirmation"
expect nv MWRX_WFMGR_LOAD_CNF within=100
label "not reached"
prop never 1
)";

TEST(Scenario, PlaysAgainstAFakeKorvAndTabulatesLabelledChecks)
{
    fwmd_server *s = fwmd_start(0, 0);
    ASSERT_NE(s, nullptr);
    fwmd_scenario sc;
    std::string err;
    ASSERT_EQ(fwmd_scenario_parse(k_scenario, &sc, &err), 0) << err;
    std::vector<fwmd_row> rows;
    char *tr_buf = nullptr;
    size_t tr_len = 0;
    FILE *tr = open_memstream(&tr_buf, &tr_len);
    {
        fake_korv korv(s);
        fwmd_play_options opt;
        opt.root = korv.root.dir;
        opt.transcript = tr;
        EXPECT_EQ(fwmd_scenario_play(s, sc, opt, &rows), -1);
    }
    std::vector<std::pair<std::string, bool>> want = {
        {"korv connects", true},          {"load confirmed", true}, {"file written", true},
        {"notification 1", true},         {"work link back", true}, {"a second confirmation", false},
        {"not reached", false},
    };
    ASSERT_EQ(rows.size(), want.size());
    for (size_t i = 0; i < want.size(); i++) {
        EXPECT_EQ(rows[i].label, want[i].first);
        EXPECT_EQ(rows[i].pass, want[i].second) << rows[i].label << ": " << rows[i].evidence;
    }
    EXPECT_NE(rows[1].evidence.find("flag=1 count=4096 reserved=0"), std::string::npos) << rows[1].evidence;
    EXPECT_EQ(rows[3].evidence, "notification type 1 (01 00 00 00)");
    EXPECT_EQ(rows[5].evidence, "no MWRX_WFMGR_LOAD_CNF on nv within 100 ms");
    EXPECT_EQ(rows[6].evidence, "not run: line 24 failed");

    fclose(tr);
    const std::string text(tr_buf, tr_len);
    free(tr_buf);
    for (const char *line : {"-> nv   MWRX_WFMGR_LOAD_REQ [len:65 wf_id:7 src:1 dst:2 body_len:29]",
                             "<- nv   MWRX_WFMGR_LOAD_CNF [len:48 wf_id:7 src:2 dst:1 body_len:12]",
                             "== work korv connected (connection 2)", "[6] loading a binary",
                             "     ok: journal: WF_BIN_LOAD"})
        EXPECT_NE(text.find(line), std::string::npos) << line << "\n--- transcript:\n" << text;
    fwmd_stop(s);
}

}  // namespace
