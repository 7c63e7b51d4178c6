// Daemon functions called directly, in one scenario (they share the process'
// statics, and the modem-reset flag once set stays set): the test exception
// text, headerless records, the reset-completed step per flag, and the
// connection failure reports.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

#include "exception/exception.h"
#include "fwlink/fwlink.h"
#include "kor_event.h"
#include "kor_os.h"
#include "korv_link.h"
#include "work/work.h"

using namespace korvtest;

namespace {

std::string s_log_path;

int logged(const std::string &what) { return count_of(read_file(s_log_path), what); }

void dispatch(uint64_t cmd, size_t cut = 0) {
    fwmd_msg msg;
    msg.msg_cmd = cmd;
    std::vector<uint8_t> rec = fwmd_encode(msg);
    work_socket_event(9, rec.data() + 4, cut ? cut : rec.size() - 4);  // as the stream hands it over
}

// Makes a socket the work connection, as a connection thread would; with
// peer_gone its next write fails.  Returns the other end, or -1.
int adopt_work_socket(int *fd, bool peer_gone) {
    int sv[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
    if (peer_gone) close(sv[1]);
    fw_client_8010.stream = record_stream_new(sv[0], KOR_RECORD_MAX);
    kor_event_set(&fw_client_8010.event, sv[0], 1, socket_client_fwm, fw_client_8010.stream);
    fw_client_8010.fd = *fd = sv[0];
    return peer_gone ? -1 : sv[1];
}

}  // namespace

TEST(DaemonDirect, WorkDispatchResetCompletionAndLinkFailures) {
    sim_root root;
    root.set_prop("persist.sys.modem.log", "0");
    root.set_prop("persist.sys.modem.reset", "0");
    s_log_path = root.dir + "/unit.log";
    setenv("KORV_ROOT", root.dir.c_str(), 1);
    setenv("KORV_LOG_FILE", s_log_path.c_str(), 1);
    tp_os_log_init(0);
    ASSERT_EQ(kor_event_init(), 0);

    // The test request writes exactly the text and its terminator; a record
    // without a header is dropped with one line.
    int pipefd[2];
    ASSERT_EQ(pipe2(pipefd, O_NONBLOCK), 0);
    g_fdTestSocbridgeWrite = pipefd[1];
    dispatch(MWRX_WFMGR_TEST_EXCPTINFO_REQ);
    dispatch(MWRX_WFMGR_TEST_EXCPTINFO_REQ, 20);
    char got[64];
    ASSERT_EQ(read(pipefd[0], got, sizeof(got)), 12);
    EXPECT_EQ(std::string(got, 12), std::string("^DEXCPTINFO\0", 12));
    EXPECT_EQ(logged("record of 20 bytes has no header, dropped"), 1);

    // Reset completed: flags 1 and 4 announce it first, 2 was asked for;
    // every flag stops UTRAN and notifies libwcs.
    int fd = -1, peer = adopt_work_socket(&fd, false);
    for (int flag : {1, 2, 4}) {
        kro_on_modem_reset_completed(flag);
        fwmd_msg msg;
        uint8_t buf[256];
        ssize_t n = read(peer, buf, sizeof(buf));
        ASSERT_EQ(n, flag == 2 ? -1 : 40) << flag;
        EXPECT_TRUE(n < 0 || (fwmd_decode(buf + 4, 36, &msg) == 0 && msg.msg_cmd == MWRX_WFMGR_MODEM_EXCEPTION_IND));
    }
    EXPECT_EQ(logged("[KORV][UTRAN]stop_utran_service"), 3);
    EXPECT_EQ(root.prop("sim.wcs.exc_notify"), "3");
    std::string text = read_file(s_log_path);
    EXPECT_LT(text.find("modem_exception write socket: "), text.find("[KORV][UTRAN]stop_utran_service"));

    // A descriptor nobody owns: logged, nothing else.
    on_fw_connect_error(555);
    EXPECT_EQ(logged("[KORV][FLOW]on_fw_connect_error no active client for fd:555\n"), 1);
    EXPECT_EQ(logged("kro_handle_modem_exception"), 0);

    // A failed write outside a reset closes the connection, once.
    close(peer);
    ASSERT_NE(work_send_empty(MWRX_WF_CARD_POWERON_REPORT_CNF, "unit", NULL), 0);
    EXPECT_EQ(fw_client_8010.fd.load(), -1);
    EXPECT_EQ(logged("on_fw_parcel_write_failed fd:" + std::to_string(fd) + ", parcel len:36"), 1);
    EXPECT_EQ(logged("kro_handle_modem_exception flag:4"), 1);
    on_fw_connect_error(fd);
    EXPECT_EQ(logged("no active client for fd:" + std::to_string(fd) + "\n"), 1);
    EXPECT_EQ(logged("kro_handle_modem_exception"), 1);

    // Not connected: the "parcel is NULL" lines, the rest goes on.
    kro_on_modem_reset_completed(4);
    EXPECT_EQ(logged("[KORV][WORK]modem_exception parcel is NULL maybe connect to fwmd is failed\n"), 1);
    EXPECT_EQ(root.prop("sim.wcs.exc_notify"), "4");
    dispatch(MWRX_WFMGR_FW_EXCEPTION_REQ);
    EXPECT_EQ(logged("[KORV][WORK]fw_exception write parcel is NULL maybe connect to fwmd is failed\n"), 1);
    EXPECT_EQ(logged("kro_handle_modem_exception ignored for modem is reseting now flag:2"), 1);

    // During the reset a failed write only logs; the connection stays.
    adopt_work_socket(&fd, true);
    ASSERT_NE(work_send_empty(MWRX_WF_CARD_POWERON_REPORT_CNF, "unit", NULL), 0);
    EXPECT_EQ(fw_client_8010.fd.load(), fd);
    EXPECT_EQ(logged("on_fw_parcel_write_failed parcel is_modem_reseting:1, parcel:0x"), 1);
}
