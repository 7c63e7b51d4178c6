// The framework connections of the real korv: connect with retry, cutting the
// stream into records, and losing one connection without losing the other.
#include <gtest/gtest.h>

#include "korv_link.h"

using namespace korvtest;

static const char *kEagain = "socket_client_fwm(), ret = -1, errno = 11";

TEST(FwLink, RetriesSilentlyUntilThePeerListensThenConnectsOnce) {
    sim_root root;
    korv_proc korv(root);
    // Logged a second after bring-up: the connection threads have been
    // retrying against closed ports by then.
    ASSERT_TRUE(korv.wait_log("korv main thread begin to sleep", 10000));
    EXPECT_EQ(korv.count("connected to fw service"), 0);

    fwmd_server *fw = fwmd_start(korv.work_port, korv.nv_port);
    ASSERT_NE(fw, nullptr);
    for (int port : {korv.work_port, korv.nv_port}) {
        std::string p = std::to_string(port), connected = "connected to fw service with port:" + p + ", client fd:";
        ASSERT_TRUE(korv.wait_log(connected));
        EXPECT_EQ(korv.count("socket_loopback_client port:" + p + " fdConnect="), 1);
        EXPECT_EQ(korv.count(connected), 1);
    }
    EXPECT_EQ(korv.count("set_fwsocket_event socket:"), 2);
    fwmd_stop(fw);
}

TEST(FwLink, CutsTheStreamIntoRecordsAndEachConnectionFailsOnItsOwn) {
    korv_link l;
    ASSERT_TRUE(l.up());

    // Two records in one write: one callback handles both, in order, and
    // then ends on EAGAIN without waiting for more data.
    std::vector<uint8_t> two = fwmd_encode(wf_probe(7)), second = fwmd_encode(wf_probe(8));
    two.insert(two.end(), second.begin(), second.end());
    int turns = l.count(kEagain);
    ASSERT_EQ(fwmd_send_raw(l.fw, FWMD_WORK, two.data(), two.size()), 0);
    ASSERT_TRUE(l.korv->wait_log(kEagain, 5000, turns + 1));
    std::string log = l.korv->log();
    size_t first_at = log.find(wf_probe_line(7)), second_at = log.find(wf_probe_line(8));
    ASSERT_LT(first_at, second_at);
    EXPECT_EQ(log.substr(first_at, second_at - first_at).find(kEagain), std::string::npos);

    // Half a record dispatches nothing until the rest arrives.
    std::vector<uint8_t> half = fwmd_encode(wf_probe(9));
    ASSERT_EQ(fwmd_send_raw(l.fw, FWMD_WORK, half.data(), 10), 0);
    ASSERT_TRUE(l.korv->wait_log(kEagain, 5000, turns + 2));
    EXPECT_EQ(l.count(wf_probe_line(9)), 0);
    ASSERT_EQ(fwmd_send_raw(l.fw, FWMD_WORK, half.data() + 10, half.size() - 10), 0);
    EXPECT_TRUE(l.korv->wait_log(wf_probe_line(9)));

    // 1025 bytes announced on NV: korv waits like for any partial record
    // until the stream's 1028-byte buffer is full, then the stream error
    // closes that connection only.
    std::vector<uint8_t> too_long = {0x00, 0x00, 0x04, 0x01, 0xAA};
    turns = l.count(kEagain);
    ASSERT_EQ(fwmd_send_raw(l.fw, FWMD_NV, too_long.data(), too_long.size()), 0);
    ASSERT_TRUE(l.korv->wait_log(kEagain, 5000, turns + 1));
    EXPECT_TRUE(fwmd_connected(l.fw, FWMD_NV));
    too_long.assign(1024, 0xAA); // one byte more than the buffer holds
    ASSERT_EQ(fwmd_send_raw(l.fw, FWMD_NV, too_long.data(), too_long.size()), 0);
    ASSERT_TRUE(l.korv->wait_log("error on reading command socket errno:27"));
    ASSERT_TRUE(l.korv->wait_log("kro_handle_modem_exception flag:4"));
    EXPECT_TRUE(wait_until([&] { return !fwmd_connected(l.fw, FWMD_NV); }, 5000));
    ASSERT_EQ(fwmd_send(l.fw, FWMD_WORK, wf_probe(11)), 0);
    EXPECT_TRUE(l.korv->wait_log(wf_probe_line(11)));

    // The peer closes the work connection: end of stream, closed, and
    // exception handling is asked again (and ignores it, one is running).
    fwmd_close_channel(l.fw, FWMD_WORK);
    ASSERT_TRUE(l.korv->wait_log("ignored for modem is reseting now flag:4"));
    log = l.korv->log();
    size_t eos = log.find("end of stream, maybe is Phone app died!!!");
    ASSERT_NE(eos, std::string::npos);
    EXPECT_LT(eos, log.find("[KORV][FLOW]EOS.  Closing command socket.\n"));
    EXPECT_EQ(l.count("[KORV][FLOW]on_fw_connect_error fd:"), 2);
    EXPECT_EQ(l.count("no active client"), 0);
    EXPECT_TRUE(l.korv->running());
}
