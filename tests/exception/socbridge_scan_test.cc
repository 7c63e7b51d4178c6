// The exception-channel scanner, fed through a sequenced-packet socket pair
// so that each read returns exactly one chunk of the test's choosing, and the
// notifications with no pty, in a child on a root of its own.
// The event loop is initialised but never run: the hand-off timer is armed
// and left alone.
#include <stdlib.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include "../utran/utran_test.h"
#include "child_root.h"
#include "exception/exception.h"
#include "kor_event.h"
#include "kor_os.h"

using namespace utrantest;

namespace {

// The scenario runs in a child on a fresh root (child_root.h), with the
// event loop initialised.
struct scan_child {
    korvtest::child_root root;

    bool run(const std::function<void()> &body) {
        return root.run([&] {
            ASSERT_EQ(kor_event_init(), 0);
            body();
        });
    }
    // What the log gained while fn ran.
    std::string logged_by(const std::function<void()> &fn) {
        size_t mark = root.logged().size();
        fn();
        return root.logged().substr(mark);
    }
    // Each chunk arrives as one read; end of file follows the last one.  The
    // result of the scan and what it logged.
    std::pair<int, std::string> scan(const std::vector<std::string> &chunks) {
        int sv[2], rc = 0;
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0);
        for (const auto &c : chunks) EXPECT_EQ(write(sv[1], c.data(), c.size()), (ssize_t)c.size());
        shutdown(sv[1], SHUT_WR);
        std::string log = logged_by([&] { rc = read_socbridge(sv[0]); });
        close(sv[0]);
        close(sv[1]);
        return {rc, log};
    }
};

const std::string F = "[KORV][FLOW]";

TEST(SocbridgeScan, DumpRecordInOneReadWithoutAPtyAndRecordsSplitAcrossReads) {
    scan_child c;
    ASSERT_TRUE(c.run([&] {
        ASSERT_EQ(ptym_fd, -1);
        auto [rc, log] = c.scan({"xx" + soc_record(2, "abcd")});
        EXPECT_EQ(rc, 0);
        for (const std::string &line :
             {F + "find record start at: 4\n", F + "search record soc_type: 2, soc_buf_len:4, i_buf:12, s_buf:16\n",
              F + "get_soc_record type:2, len:4, buf_end:4, buf:", std::string("Error write -1: Bad file descriptor\n"),
              std::string("[KORV][WORK]korv_exception_inform in read_socbridge return failure\n")})
            EXPECT_NE(log.find(line), std::string::npos) << line;
        std::string after = c.logged_by([] { EXPECT_EQ(korv_exception_inform(KRO_NOTIFY_RESET), -1); });
        EXPECT_NE(after.find("korv_exception_inform msgtype:2\n"), std::string::npos);
        EXPECT_NE(after.find("Error write -1: Bad file descriptor\n"), std::string::npos);
        EXPECT_EQ(c.root.prop(MODEM_EXCEPTION_PROP), "1");

        // A type-1 record and a dump record in one read: the dump waits for the
        // next read that brings data, and end of file loses it.
        const std::string both = soc_record(1, "") + soc_record(2, "ab");
        auto [later_rc, later] = c.scan({both, "z"});
        EXPECT_EQ(later_rc, 0);
        EXPECT_LT(later.find(F + "not modem dump message, continue!"), later.find(F + "get_soc_record type:2, len:2, buf_end:3,"));
        EXPECT_NE(later.find(F + "get_soc_record"), std::string::npos);

        const std::string gets = "get_soc_record";
        const struct {
            std::vector<std::string> chunks;
            int rc;
            std::vector<std::string> has;  // a line absent is marked by a leading '!'
        } cases[] = {
            {{both}, -1, {"!" + gets}},
            // The marker as the last two bytes is dropped; the fields that follow
            // are scanned without it.
            {{"abME", le32(2) + le32(4)}, -1,
             {F + "search record soc_type: -1, soc_buf_len:-1, i_buf:4, s_buf:4\n", ", s_buf:8\n", "!" + gets}},
            // Fewer than four bytes after the marker: they are kept, the marker not.
            {{"ME" + le32(2).substr(0, 2), le32(2).substr(2) + le32(4)}, -1,
             {F + "search record soc_type: -1, soc_buf_len:-1, i_buf:2, s_buf:4\n", ", s_buf:8\n", "!" + gets}},
            // A marker split over two reads is none: a read without one is dropped.
            {{"xM", "E" + le32(2) + le32(0)}, -1, {"!find record start at:"}},
            // A complete type with an incomplete length is a dump record at once.
            {{"ME" + le32(2) + le32(4).substr(0, 2)}, 0, {F + "get_soc_record type:2, len:-1, buf_end:2,"}},
            // "ME" inside a payload starts a record of its own.
            {{soc_record(1, "xx" + soc_record(2, "abc").substr(0, 10)), "q"}, 0,
             {F + "get_soc_record type:2, len:3, buf_end:1,"}},
        };
        for (size_t i = 0; i < std::size(cases); i++) {
            SCOPED_TRACE(i);
            auto [rc, log] = c.scan(cases[i].chunks);
            EXPECT_EQ(rc, cases[i].rc);
            for (const std::string &h : cases[i].has)
                EXPECT_EQ(h[0] == '!', log.find(h[0] == '!' ? h.substr(1) : h) == std::string::npos) << h;
        }
    }));
}

}  // namespace
