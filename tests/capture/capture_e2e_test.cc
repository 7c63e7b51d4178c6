// Traffic capture of the real korv: a scripted session captured between
// `korvctl capture start` and `capture stop` reads back as exactly the records
// that went over the wire, in order, with their links, directions and bytes
// (a dropped one with its reason); the status answer follows the capture;
// names that could leave the capture folder are refused.
#include <sys/stat.h>

#include "../ctl/ctl_rig.h"

using namespace ctltest;

namespace {

const std::string LTEP2P_DIR = "/data/brimwell/wf_manager/waveform/LTEP2P/";
const std::string CAPTURE_DIR = "/data/brimwell/korv/capture";

fwmd_body load_body(uint32_t req_len, uint32_t read_len, uint32_t dst, const std::string &name) {
    return fwmd_body().u32(1).u32(req_len).u32(read_len).u32(dst).u32(0).u32((uint32_t)name.size()).raw(
        name.data(), name.size());
}

struct wire_rec {
    int channel;
    int direction;
    std::vector<uint8_t> frame;
    std::string comment;
};

std::vector<uint8_t> frame_of(const fwmd_msg &m) { return fwmd_encode(m); }

std::string korvctl(const ctl_rig &r, const std::vector<std::string> &words, int *rc) {
    std::vector<std::string> argv = {korvtest::bin_path("korvctl"), "--root", r.root.dir};
    argv.insert(argv.end(), words.begin(), words.end());
    std::string out;
    *rc = korvtest::run_tool(argv, &out);
    return out;
}

TEST(CaptureE2e, ScriptedSessionIsCapturedRecordForRecord) {
    ctl_rig r;
    ASSERT_TRUE(r.up());
    r.root.write(LTEP2P_DIR + "l.bin", std::string(300, 'L'));
    int rc = -1;
    EXPECT_EQ(korvctl(r, {"capture", "start", "session-1"}, &rc), CAPTURE_DIR + "/session-1.pcapng\n");
    ASSERT_EQ(rc, 0);
    korvctl_json s = r.ask_json("status");
    EXPECT_EQ(s["capture"]["file"].text, CAPTURE_DIR + "/session-1.pcapng");

    std::vector<wire_rec> want;
    const fwmd_msg volt = fwmd_make(MWRX_WF_CARD_POWERON_REPORT_REQ, fwmd_body().u8(1).u8(3));
    ASSERT_EQ(fwmd_send(r.fw, FWMD_WORK, volt), 0);
    fwmd_msg cnf;
    ASSERT_TRUE(r.expect(MWRX_WF_CARD_POWERON_REPORT_CNF, 20000, &cnf));
    want.push_back({FWMD_WORK, 1, frame_of(volt), ""});
    want.push_back({FWMD_WORK, 2, frame_of(cnf), ""});

    const fwmd_msg path = fwmd_make(MWRX_WFMGR_COMM_PATH_INFO_IND,
        fwmd_body().u32(1).u32(8).chars("LTEP2P", 64).chars(LTEP2P_DIR, 128).chars("nvram_ltep2p.bin", 64));
    const fwmd_msg load = fwmd_make(MWRX_WFMGR_LOAD_REQ, load_body(1000, 0, 0x201000, "l.bin"), 8);
    ASSERT_EQ(fwmd_send(r.fw, FWMD_NV, path), 0);
    ASSERT_EQ(fwmd_send(r.fw, FWMD_NV, load), 0);
    fwmd_msg load_cnf = r.next(FWMD_NV, MWRX_WFMGR_LOAD_CNF);
    ASSERT_EQ(load_cnf.msg_cmd, (uint64_t)MWRX_WFMGR_LOAD_CNF);
    EXPECT_EQ(fwmd_body_u32(load_cnf, 4), 300u);  // the file's size: what replays compare
    want.push_back({FWMD_NV, 1, frame_of(path), ""});
    want.push_back({FWMD_NV, 1, frame_of(load), ""});
    want.push_back({FWMD_NV, 2, frame_of(load_cnf), ""});

    // Framed, but 12 bytes and no header: korv drops it, the capture keeps it.
    const std::string bad("\0\0\0\x0c" "0123456789ab", 16);
    ASSERT_EQ(r.send_raw(FWMD_WORK, bad), 0);
    ASSERT_TRUE(korvtest::wait_until(
        [&] { return r.ask_json("status")["links"]["work"]["bad_records"].as_int() == 1; }, 10000));
    want.push_back({FWMD_WORK, 1, std::vector<uint8_t>(bad.begin(), bad.end()), "dropped: short record"});

    s = r.ask_json("status");
    EXPECT_EQ(s["capture"]["records"].as_int(), (int64_t)want.size());
    EXPECT_EQ(s["capture"]["lost"].as_int(), 0);
    EXPECT_EQ(korvctl(r, {"capture", "stop"}, &rc), CAPTURE_DIR + "/session-1.pcapng\n");
    EXPECT_EQ(rc, 0);
    s = r.ask_json("status");
    EXPECT_EQ(s["capture"]["file"].kind, korvctl_json::null_v);
    EXPECT_FALSE(s["capture"]["limit_reached"].boolean);

    // Traffic after the stop is not in the file.
    ASSERT_EQ(r.voltage(1, 3), 0);
    ASSERT_TRUE(r.expect(MWRX_WF_CARD_POWERON_REPORT_CNF));

    const std::string file = r.root.path(CAPTURE_DIR + "/session-1.pcapng");
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ((int64_t)st.st_size, s["capture"]["bytes"].as_int());
    ASSERT_EQ(stat(r.root.path(CAPTURE_DIR).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0770u);

    std::vector<fwmd_capture_rec> got;
    std::string err;
    ASSERT_EQ(fwmd_pcapng_load(file, &got, &err), 0) << err;
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); i++) {
        EXPECT_EQ(got[i].channel, want[i].channel) << i;
        EXPECT_EQ(got[i].direction, want[i].direction) << i;
        EXPECT_EQ(fwmd_hex(got[i].frame.data(), got[i].frame.size()),
                  fwmd_hex(want[i].frame.data(), want[i].frame.size()))
            << i;
        EXPECT_EQ(got[i].comment, want[i].comment) << i;
        if (i > 0) {
            EXPECT_GE(got[i].ts_us, got[i - 1].ts_us) << i;
        }
    }
}

TEST(CaptureE2e, NamesOutsideTheFolderAndSecondCapturesAreRefused) {
    ctl_rig r;
    ASSERT_TRUE(r.up());
    for (const std::string &name : std::vector<std::string>{"a/b", "..", "../x", "a.b", std::string(65, 'n'), "x\\y"}) {
        korvctl_json a = r.ask_json("capture start " + name);
        EXPECT_EQ(a["error"].kind, korvctl_json::string_v) << name;
    }
    int rc = -1;
    korvctl(r, {"capture", "start", ".."}, &rc);
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(r.ask_json("capture stop")["error"].text, "no capture running");
    EXPECT_EQ(r.ask_json("status")["capture"]["file"].kind, korvctl_json::null_v);

    const std::string longest(64, 'N');
    EXPECT_EQ(r.ask_json("capture start " + longest)["file"].text, CAPTURE_DIR + "/" + longest + ".pcapng");
    EXPECT_EQ(r.ask_json("capture start other")["error"].text, "a capture is running");
    EXPECT_EQ(r.ask_json("capture stop")["file"].text, CAPTURE_DIR + "/" + longest + ".pcapng");
    // Only the one accepted name made a file.
    std::string listing;
    ASSERT_EQ(korvtest::run_tool({"/bin/ls", "-A", r.root.path(CAPTURE_DIR)}, &listing), 0);
    EXPECT_EQ(listing, longest + ".pcapng\n");
    EXPECT_FALSE(r.root.exists("/data/brimwell/korv/x.pcapng"));
}

}  // namespace
