// Traffic capture of the real korv: a scripted session captured between
// `korvctl capture start` and `capture stop` reads back as exactly the records
// that went over the wire, in order, with their links, directions and bytes
// (a dropped one with its reason), written by korv's thread kro_capture;
// the status answer follows the capture; fwmd decodes it and replays it (and
// the capture shipped in scenarios/) without a difference on a fresh phone;
// names that could leave the capture folder are refused; the Wireshark
// dissector names every field of every message.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "../ctl/ctl_rig.h"

using namespace ctltest;

namespace {

const std::string LTEP2P_DIR = "/data/brimwell/wf_manager/waveform/LTEP2P/";

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

// How many of korv's threads bear that name.
int threads_named(const ctl_rig &r, const std::string &name) {
    int n = 0;
    std::error_code ec;
    for (const auto &task : std::filesystem::directory_iterator("/proc/" + std::to_string(r.korv->pid) + "/task", ec))
        n += korvtest::read_file(task.path().string() + "/comm") == name + "\n";
    return n;
}

// fwmd --replay FILE against a fresh korv on a fresh phone (its l.bin
// replaced when one is given); returns the exit status, fwmd's output in *out.
int replay(const std::string &capture, const std::string &l_bin, std::string *out, bool asap = true) {
    const int work = korvtest::free_port(), nv = korvtest::free_port();
    korvtest::rig_opts o;
    o.work_port = work;
    o.nv_port = nv;
    ctl_rig r(o);
    if (!l_bin.empty()) r.root.write(LTEP2P_DIR + "l.bin", l_bin);
    std::vector<std::string> argv = {korvtest::bin_path("fwmd"), "--work-port", std::to_string(work),
                                     "--nv-port", std::to_string(nv), "--replay", capture};
    if (asap) argv.push_back("--asap");
    return korvtest::run_tool(argv, out, {}, 60000);
}

// The scripted session between capture start and stop: a voltage request and
// its answer, a path record and a load and its answer, and a framed record
// without a header.  Then the file read back, decoded by fwmd, replayed on a
// fresh phone (and on one whose l.bin differs), and the capture names refused.
TEST(CaptureE2e, ScriptedSessionIsCapturedRecordForRecordAndReplays) {
    ctl_rig r;
    ASSERT_TRUE(r.up());
    std::string out;
    ASSERT_EQ(r.ctl("capture start session-1", &out), 0);
    EXPECT_EQ(out, CAPTURE_DIR + "/session-1.pcapng\n");
    EXPECT_EQ(r.ask_json("status")["capture"]["file"].text, CAPTURE_DIR + "/session-1.pcapng");
    ASSERT_EQ(r.ctl("status", &out), 0);
    EXPECT_NE(out.find("capture     " + CAPTURE_DIR + "/session-1.pcapng, 0 records, "), std::string::npos) << out;

    std::vector<wire_rec> want;
    const fwmd_msg volt = fwmd_make(MWRX_WF_CARD_POWERON_REPORT_REQ, fwmd_body().u8(1).u8(3));
    ASSERT_EQ(fwmd_send(r.fw, FWMD_WORK, volt), 0);
    fwmd_msg cnf;
    ASSERT_TRUE(r.expect(MWRX_WF_CARD_POWERON_REPORT_CNF, 20000, &cnf));
    want.push_back({FWMD_WORK, 1, frame_of(volt), ""});
    want.push_back({FWMD_WORK, 2, frame_of(cnf), ""});

    const fwmd_msg path = fwmd_make(MWRX_WFMGR_COMM_PATH_INFO_IND,
        fwmd_body().u32(1).u32(8).chars("LTEP2P", 64).chars(LTEP2P_DIR, 128).chars("nvram_ltep2p.bin", 64));
    const fwmd_msg load = fwmd_make(MWRX_WFMGR_LOAD_REQ, load_body(1000, 16000, 0x201000, "l.bin"), 8);
    ASSERT_EQ(fwmd_send(r.fw, FWMD_NV, path), 0);
    ASSERT_EQ(fwmd_send(r.fw, FWMD_NV, load), 0);
    fwmd_msg load_cnf = r.next(FWMD_NV, MWRX_WFMGR_LOAD_CNF);
    ASSERT_EQ(load_cnf.msg_cmd, (uint64_t)MWRX_WFMGR_LOAD_CNF);
    // The bytes of the phone's l.bin from 16000 on: a replay on a phone
    // whose file differs gets another count.
    EXPECT_EQ(fwmd_body_u32(load_cnf, 4), 384u);
    want.push_back({FWMD_NV, 1, frame_of(path), ""});
    want.push_back({FWMD_NV, 1, frame_of(load), ""});
    want.push_back({FWMD_NV, 2, frame_of(load_cnf), ""});

    // Framed, but 12 bytes and no header: korv drops it, the capture keeps it.
    const std::string bad("\0\0\0\x0c" "0123456789ab", 16);
    ASSERT_EQ(r.send_raw(FWMD_WORK, bad), 0);
    ASSERT_TRUE(korvtest::wait_until(
        [&] { return r.ask_json("status")["links"]["work"]["bad_records"].as_int() == 1; }, 10000));
    want.push_back({FWMD_WORK, 1, std::vector<uint8_t>(bad.begin(), bad.end()), "dropped: short record"});

    korvctl_json s = r.ask_json("status");
    EXPECT_EQ(s["capture"]["records"].as_int(), (int64_t)want.size());
    EXPECT_EQ(s["capture"]["lost"].as_int(), 0);
    EXPECT_EQ(threads_named(r, "kro_capture"), 1);
    ASSERT_EQ(r.ctl("capture stop", &out), 0);
    EXPECT_EQ(out, CAPTURE_DIR + "/session-1.pcapng\n");
    EXPECT_TRUE(korvtest::wait_until([&] { return threads_named(r, "kro_capture") == 0; }, 1000));
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
        EXPECT_GE(got[i].ts_us, got[i ? i - 1 : 0].ts_us) << i;
    }

    // fwmd --decode: one line per record, in fwmd's rendering.
    ASSERT_EQ(korvtest::run_tool({korvtest::bin_path("fwmd"), "--decode", file}, &out), 0);
    const std::vector<std::string> lines = korvtest::split_lines(out);
    ASSERT_EQ(lines.size(), want.size()) << out;
    fwmd_msg m;
    for (size_t i = 0; i + 1 < want.size(); i++) {
        ASSERT_EQ(fwmd_decode(want[i].frame.data() + 4, want[i].frame.size() - 4, &m), 0);
        const std::string link = want[i].channel == FWMD_WORK ? "work " : "nv   ";
        EXPECT_NE(lines[i].find(link + (want[i].direction == 1 ? "in  " : "out ") + fwmd_format(m)), std::string::npos)
            << lines[i];
    }
    EXPECT_NE(lines.back().find("work in  record of 12 bytes without a header: 00 00 00 0c 30"), std::string::npos)
        << lines.back();
    EXPECT_NE(lines.back().find("(dropped: short record)"), std::string::npos) << lines.back();

    // Replayed on a fresh phone: no difference; on one whose l.bin is 100
    // bytes past 16000 instead of 384, the load's count differs.
    EXPECT_EQ(replay(file, "", &out), 0) << out;
    EXPECT_NE(out.find("fwmd: replay of 6 records: 0 differences"), std::string::npos) << out;
    EXPECT_EQ(replay(file, std::string(16100, 'l'), &out), 1) << out;
    EXPECT_NE(out.find("difference: record 5 (nv out): MWRX_WFMGR_LOAD_CNF count: captured 384, got 100"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("fwmd: replay of 6 records: 1 difference\n"), std::string::npos) << out;
    // The capture that ships in scenarios/, at its captured pace.
    EXPECT_EQ(replay(KORV_SCENARIO_DIR "/voltage-and-load.pcapng", "", &out, false), 0) << out;
    EXPECT_NE(out.find("fwmd: replay of 6 records: 0 differences"), std::string::npos) << out;

    // Names that could leave the folder are refused, and so is a second
    // capture while one runs.
    for (const std::string &name : std::vector<std::string>{"a/b", "..", "../x", "a.b", std::string(65, 'n'), "x\\y"})
        EXPECT_EQ(r.ask_json("capture start " + name)["error"].kind, korvctl_json::string_v) << name;
    EXPECT_EQ(r.ctl("capture start ..", &out), 1);
    EXPECT_EQ(r.ask_json("capture stop")["error"].text, "no capture running");
    EXPECT_EQ(r.ask_json("status")["capture"]["file"].kind, korvctl_json::null_v);
    const std::string longest(64, 'N');
    EXPECT_EQ(r.ask_json("capture start " + longest)["file"].text, CAPTURE_DIR + "/" + longest + ".pcapng");
    EXPECT_EQ(r.ask_json("capture start other")["error"].text, "a capture is running");
    EXPECT_EQ(r.ask_json("capture stop")["file"].text, CAPTURE_DIR + "/" + longest + ".pcapng");
    // Only the accepted names made files.
    ASSERT_EQ(korvtest::run_tool({"/bin/ls", "-A", r.root.path(CAPTURE_DIR)}, &out), 0);
    EXPECT_EQ(out, longest + ".pcapng\nsession-1.pcapng\n");
    EXPECT_FALSE(r.root.exists("/data/brimwell/korv/x.pcapng"));
}

// What tshark printed for each frame (-V), in order.
std::vector<std::string> frames_of(const std::string &text) {
    std::vector<std::string> frames;
    for (size_t at = text.find("Frame "); at != std::string::npos;) {
        size_t next = text.find("\nFrame ", at);
        frames.push_back(text.substr(at, next == std::string::npos ? std::string::npos : next - at));
        at = next == std::string::npos ? next : next + 1;
    }
    return frames;
}

// The lines the dissector must show for one record: the length prefix,
// every header field, the message's name, every body field by name.
std::vector<std::string> dissected_names(const fwmd_capture_rec &rec) {
    fwmd_msg m;
    std::vector<std::string> names = {"Length prefix: " + std::to_string(rec.frame.size() - 4)};
    if (fwmd_decode(rec.frame.data() + 4, rec.frame.size() - 4, &m) != 0) return names;
    for (const char *h : {"len: ", "wf_id: ", "src: ", "dst: ", "msg_cmd: ", "body_len: "}) names.push_back(h);
    names.push_back(std::string("Message: ") + fwmd_cmd_name(m.msg_cmd));
    std::vector<fwmd_field> fields;
    fwmd_decode_fields(m, &fields, nullptr);
    for (const fwmd_field &f : fields) {
        size_t dot = f.name.rfind('.');
        if (dot != std::string::npos) names.push_back(f.name.substr(0, dot) + "\n");  // the group's subtree
        std::string leaf = f.name.substr(dot == std::string::npos ? 0 : dot + 1) + ": ";
        names.push_back(f.is_bytes ? leaf : leaf + std::to_string(f.num));
    }
    return names;
}

// What tshark prints for the capture with the dissector (-V); "" with *why
// when that cannot be.  As root it warns and loads the script all the same.
std::string tshark_output(const std::string &lua, const std::string &capture, std::string *why) {
    if (access("/usr/bin/tshark", X_OK) != 0) {
        *why = "tshark missing (make test installs it)";
        return "";
    }
    std::string out;
    if (korvtest::run_tool({"/usr/bin/tshark", "-X", "lua_script:" + lua, "-r", capture, "-V"}, &out, {}, 120000) != 0)
        *why = "tshark failed";
    return out;
}

TEST(CaptureE2e, WiresharkDissectorNamesEveryFieldOfEveryMessage) {
    std::string generated;
    ASSERT_EQ(korvtest::run_tool({korvtest::bin_path("fwmd"), "--lua"}, &generated), 0);
    EXPECT_EQ(generated, korvtest::read_file(KORV_SOURCE_DIR "/tools/wireshark/korv.lua"))
        << "run fwmd --lua > tools/wireshark/korv.lua";

    ctl_rig r;
    ASSERT_TRUE(r.up());
    ASSERT_EQ(r.ask_json("capture start every-message")["capture"].text, "started");
    ASSERT_EQ(r.voltage(2, 1), 0);
    ASSERT_TRUE(r.expect(MWRX_WF_CARD_POWERON_REPORT_CNF));
    ASSERT_EQ(r.send(FWMD_NV, MWRX_WFMGR_COMM_PATH_INFO_IND,
                     fwmd_body().u32(1).u32(8).chars("LTEP2P", 64).chars(LTEP2P_DIR, 128).chars("nv.bin", 64)),
              0);
    ASSERT_EQ(r.send(FWMD_NV, MWRX_WFMGR_NV_MODIFY_IND,
                     fwmd_body().u32(2).u32(0).u32(8).u32(0).u32(2).raw("ab", 2).u32(0).u32(8).u32(4).u32(1).raw("c", 1)),
              0);
    ASSERT_EQ(r.send(FWMD_NV, MWRX_WFMGR_LOAD_REQ, load_body(1000, 16000, 0x201000, "l.bin"), 8), 0);
    ASSERT_EQ(r.next(FWMD_NV, MWRX_WFMGR_LOAD_CNF).msg_cmd, (uint64_t)MWRX_WFMGR_LOAD_CNF);
    const std::string image = utrantest::hdr().bridge("utran0", 3).end().bytes;
    ASSERT_EQ(r.send_header(image), 0);
    ASSERT_EQ(r.wf_type(1), 0);
    ASSERT_TRUE(r.journal_has(1));
    ASSERT_EQ(r.ask_json("capture stop")["capture"].text, "stopped");

    const std::string capture = r.root.path(CAPTURE_DIR + "/every-message.pcapng");
    const std::string lua = KORV_SOURCE_DIR "/tools/wireshark/korv.lua";
    std::vector<fwmd_capture_rec> recs;
    std::string err;
    ASSERT_EQ(fwmd_pcapng_load(capture, &recs, &err), 0) << err;
    ASSERT_EQ(recs.size(), 8u);

    std::string why;
    const std::string text = tshark_output(lua, capture, &why);
    if (text.empty() && why.find("failed") == std::string::npos) GTEST_SKIP() << why;
    ASSERT_TRUE(why.empty()) << why << "\n" << text;
    const std::vector<std::string> frames = frames_of(text);
    ASSERT_EQ(frames.size(), recs.size()) << text;
    for (size_t i = 0; i < recs.size(); i++) {
        EXPECT_NE(frames[i].find("korv framework record"), std::string::npos) << frames[i];
        for (const std::string &name : dissected_names(recs[i]))
            EXPECT_NE(frames[i].find("    " + name), std::string::npos) << name << " in\n" << frames[i];
    }
}

}  // namespace
