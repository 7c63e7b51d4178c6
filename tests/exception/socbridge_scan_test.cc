/* The exception-channel scanner, fed through a sequenced-packet socket pair
 * so that each read returns exactly one chunk of the test's choosing, and the
 * notifications with no pty.  The event loop is initialised but never run:
 * the hand-off timer is armed and left alone. */
#include <stdlib.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include "../utran/utran_test.h"
#include "exception/exception.h"
#include "kor_event.h"
#include "kor_os.h"
#include "sim_root.h"

using namespace utrantest;

namespace {

/* One simulated root per test process, set up before any daemon code runs. */
korvtest::sim_root &root() {
    static korvtest::sim_root *r = [] {
        auto *s = new korvtest::sim_root(false);
        std::string err;
        setenv("KORV_ROOT", s->dir.c_str(), 1);
        setenv("KORV_LOG_FILE", (s->dir + "/unit.log").c_str(), 1);
        if (korv_sim_init(s->dir, &err) != 0) abort();
        tp_os_log_init(0);
        kor_event_init();
        return s;
    }();
    return *r;
}

struct scan {
    int result;
    std::string log; /* what this scan logged */
    bool has(const std::string &text) const { return log.find(text) != std::string::npos; }
    size_t at(const std::string &text) const { return log.find(text); }
};

/* Each chunk arrives as one read; end of file follows the last one. */
scan scan_chunks(const std::vector<std::string> &chunks) {
    size_t mark = root().read("/unit.log").size();
    int sv[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0);
    for (const auto &c : chunks) EXPECT_EQ(write(sv[1], c.data(), c.size()), (ssize_t)c.size());
    shutdown(sv[1], SHUT_WR);
    scan s{read_socbridge(sv[0]), ""};
    close(sv[0]);
    close(sv[1]);
    s.log = root().read("/unit.log").substr(mark);
    return s;
}

const std::string F = "[KORV][FLOW]";

TEST(SocbridgeScan, DumpRecordInOneReadWithoutAPty) {
    ASSERT_EQ(ptym_fd, -1);
    scan s = scan_chunks({"xx" + soc_record(2, "abcd")});
    EXPECT_EQ(s.result, 0);
    EXPECT_TRUE(s.has(F + "find record start at: 4\n"));
    EXPECT_TRUE(s.has(F + "search record soc_type: 2, soc_buf_len:4, i_buf:12, s_buf:16\n"));
    EXPECT_TRUE(s.has(F + "get_soc_record type:2, len:4, buf_end:4, buf:"));
    EXPECT_TRUE(s.has("Error write -1: Bad file descriptor\n"));
    EXPECT_TRUE(s.has("[KORV][WORK]korv_exception_inform in read_socbridge return failure\n"));
    EXPECT_EQ(root().prop(MODEM_EXCEPTION_PROP), "1");

    size_t mark = root().read("/unit.log").size();
    EXPECT_EQ(korv_exception_inform(KRO_NOTIFY_RESET), -1);
    std::string after = root().read("/unit.log").substr(mark);
    EXPECT_NE(after.find("korv_exception_inform msgtype:2\n"), std::string::npos);
    EXPECT_NE(after.find("Error write -1: Bad file descriptor\n"), std::string::npos);
}

TEST(SocbridgeScan, RecordsSplitAcrossReads) {
    /* A type-1 record and a dump record in one read: the dump waits for the
     * next read that brings data, and end of file loses it. */
    std::string both = soc_record(1, "") + soc_record(2, "ab");
    scan later = scan_chunks({both, "z"});
    EXPECT_EQ(later.result, 0);
    EXPECT_LT(later.at(F + "not modem dump message, continue!"),
              later.at(F + "get_soc_record type:2, len:2, buf_end:3,"));
    EXPECT_NE(later.at(F + "get_soc_record"), std::string::npos);
    scan lost = scan_chunks({both});
    EXPECT_EQ(lost.result, -1);
    EXPECT_FALSE(lost.has("get_soc_record"));

    /* The marker as the last two bytes is dropped; the fields that follow are
     * scanned without it. */
    scan tail = scan_chunks({"abME", le32(2) + le32(4)});
    EXPECT_EQ(tail.result, -1);
    EXPECT_TRUE(tail.has(F + "search record soc_type: -1, soc_buf_len:-1, i_buf:4, s_buf:4\n"));
    EXPECT_TRUE(tail.has(", s_buf:8\n"));
    EXPECT_FALSE(tail.has("get_soc_record"));

    /* Fewer than four bytes after the marker: they are kept, the marker not. */
    scan short_type = scan_chunks({"ME" + le32(2).substr(0, 2), le32(2).substr(2) + le32(4)});
    EXPECT_EQ(short_type.result, -1);
    EXPECT_TRUE(short_type.has(F + "search record soc_type: -1, soc_buf_len:-1, i_buf:2, s_buf:4\n"));
    EXPECT_TRUE(short_type.has(", s_buf:8\n"));
    EXPECT_FALSE(short_type.has("get_soc_record"));

    /* A marker split over two reads is none: a read without one is dropped. */
    scan split = scan_chunks({"xM", "E" + le32(2) + le32(0)});
    EXPECT_EQ(split.result, -1);
    EXPECT_FALSE(split.has("find record start at:"));

    /* A complete type with an incomplete length is a dump record at once. */
    scan no_len = scan_chunks({"ME" + le32(2) + le32(4).substr(0, 2)});
    EXPECT_EQ(no_len.result, 0);
    EXPECT_TRUE(no_len.has(F + "get_soc_record type:2, len:-1, buf_end:2,"));

    /* "ME" inside a payload starts a record of its own. */
    scan inner = scan_chunks({soc_record(1, "xx" + soc_record(2, "abc").substr(0, 10)), "q"});
    EXPECT_EQ(inner.result, 0);
    EXPECT_TRUE(inner.has(F + "get_soc_record type:2, len:3, buf_end:1,"));
}

}  // namespace
