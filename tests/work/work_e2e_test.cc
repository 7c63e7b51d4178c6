// The work channel of the real korv: SIM voltage requests and their
// confirmations, the framework's exception request, waveform type
// indications and the image header size checks.
#include <gtest/gtest.h>

#include "../fwlink/korv_link.h"

using namespace korvtest;

namespace {

int voltage(korv_link &l, uint8_t card, uint8_t type) {
    return l.send(FWMD_WORK, MWRX_WF_CARD_POWERON_REPORT_REQ, fwmd_body().u8(card).u8(type));
}

// One confirmation, arrived whole, empty, from the daemon itself.
bool confirmed(korv_link &l, uint64_t cmd) {
    fwmd_msg m;
    return l.expect(cmd, 10000, &m) && m.len == 36 && m.body_len == 0 && m.body.empty() && m.src == 0 && m.dst == 0;
}

}  // namespace

TEST(WorkChannel, VoltageRequestsWaveformTypesHeaderSizesAndAnExceptionRequest) {
    korv_link l;
    ASSERT_TRUE(l.up());
    // Without its type byte the request is dropped before any thread starts.
    ASSERT_EQ(l.send(FWMD_WORK, MWRX_WF_CARD_POWERON_REPORT_REQ, fwmd_body().u8(1)), 0);
    ASSERT_TRUE(l.korv->wait_log("REPORT_REQ without voltage type dropped"));
    EXPECT_EQ(l.count("tp_man_interface_usim_voltage_control card_index:"), 0);

    // A two-byte body logs its size and is carried out.
    ASSERT_EQ(voltage(l, 1, 3), 0);
    ASSERT_TRUE(confirmed(l, MWRX_WF_CARD_POWERON_REPORT_CNF));
    EXPECT_EQ(l.root.read("/sys/tarno/usim2_voltage"), "3");
    EXPECT_EQ(l.count("MWRX_WF_CARD_POWERON_REPORT_REQ body size is:2\n"), 1);
    ASSERT_EQ(voltage(l, 0, 18), 0);  // only the first digit
    ASSERT_TRUE(confirmed(l, MWRX_WF_CARD_POWERON_REPORT_CNF));
    EXPECT_EQ(l.root.read("/sys/tarno/usim_voltage"), "1");
    ASSERT_EQ(voltage(l, 2, 3), 0);  // no file for card 2, confirmed all the same
    ASSERT_TRUE(confirmed(l, MWRX_WF_CARD_POWERON_REPORT_CNF));
    EXPECT_EQ(l.count("[KORV][WORK]tp_man_interface_usim_voltage_control fd:-1\n"), 1);
    EXPECT_EQ(l.count("[KORV][WORK]open /sys/tarno/usim_voltage fail!\n"), 1);

    // Waveform type 2 is only logged; status 1 starts UTRAN, status 2 stops it.
    ASSERT_EQ(l.send(FWMD_WORK, MWRX_WFMGR_KORGR_WF_TYPE_IND, fwmd_body().u32(1).u32(2)), 0);
    ASSERT_EQ(l.send(FWMD_WORK, MWRX_WFMGR_KORGR_WF_TYPE_IND, fwmd_body().u32(1).u32(1)), 0);
    ASSERT_EQ(l.send(FWMD_WORK, MWRX_WFMGR_KORGR_WF_TYPE_IND, fwmd_body().u32(2).u32(1)), 0);
    ASSERT_TRUE(l.korv->wait_log("[KORV][UTRAN]stop_utran_service"));
    EXPECT_EQ(l.count("[KORV][UTRAN]start_utran_servcie"), 1);
    EXPECT_TRUE(l.prop_is("ril.start.utran.service", "0"));

    // body_len 20 leaves room for 12 bytes of header.
    for (uint32_t size : {13u, 0u, 12u})
        ASSERT_EQ(l.send(FWMD_WORK, MWRX_WFMGR_WFCFG_IND, fwmd_body().u32(size).chars("", 16)), 0);
    ASSERT_TRUE(l.korv->wait_log("load_utran_wave souce len:12"));
    EXPECT_EQ(l.count("[KORV]MWRX_WFMGR_WFCFG_IND size:13 should not bigger than body length 12\n"), 1);
    EXPECT_EQ(l.count("[KORV]MWRX_WFMGR_WFCFG_IND info is empty!\n"), 1);
    EXPECT_EQ(l.count("load_utran_wave souce len:"), 1);

    // Fifty voltage requests while the looper answers others; last, since
    // the exception request starts (parked) exception handling.
    for (int i = 0; i < 50; i++) {
        ASSERT_EQ(voltage(l, i % 2, i % 10), 0);
        ASSERT_EQ(fwmd_send(l.fw, FWMD_WORK, wf_probe(100 + i)), 0);
    }
    // The looper answers this while voltage threads still write their
    // confirmations on the same socket.
    ASSERT_EQ(l.send(FWMD_WORK, MWRX_WFMGR_FW_EXCEPTION_REQ, fwmd_body()), 0);
    for (int i = 0; i < 50; i++) ASSERT_TRUE(confirmed(l, MWRX_WF_CARD_POWERON_REPORT_CNF)) << i;
    ASSERT_TRUE(confirmed(l, MWRX_WFMGR_FW_EXCEPTION_CNF));
    EXPECT_EQ(l.count(wf_probe_line(149)), 1);

    // The confirmation left before exception handling began.
    ASSERT_TRUE(l.korv->wait_log("kro_handle_modem_exception flag:2"));
    std::string log = l.korv->log();
    EXPECT_LT(log.find("[KORV][WORK]fw_exception write socket: "), log.find("kro_handle_modem_exception flag:2"));
}
