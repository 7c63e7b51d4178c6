// The control socket of the real korv: after a scripted session every number
// and list of the status answer is what the session did, and the log level
// then switches the flow lines off and on; a client of a uid that is not
// allowed is closed without an answer; a socket handed over by init is the
// one served.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include "ctl_rig.h"

using namespace ctltest;

namespace {

const std::string UTRAN_DIR = "/data/brimwell/wf_manager/waveform/UTRAN";
const std::string LTEP2P_DIR = "/data/brimwell/wf_manager/waveform/LTEP2P";

fwmd_body path_add(uint32_t wf_id, const std::string &name, const std::string &dir, const std::string &nv_file) {
    return fwmd_body().u32(1).u32(wf_id).chars(name, 64).chars(dir, 128).chars(nv_file, 64);
}

fwmd_body path_remove(uint32_t wf_id) { return fwmd_body().u32(0).u32(wf_id); }

// One NV-modify indication: per entry flag 0, wf_id, offset, length, data.
fwmd_body modify(const std::vector<std::pair<uint32_t, std::string>> &entries) {
    fwmd_body b;
    b.u32(static_cast<uint32_t>(entries.size()));
    uint32_t offset = 0;
    for (const auto &e : entries) {
        b.u32(0).u32(e.first).u32(offset).u32(static_cast<uint32_t>(e.second.size()));
        b.raw(e.second.data(), e.second.size());
        offset += 4;
    }
    return b;
}

// Bytes of a framed record of that message, its length prefix included.
uint64_t framed(uint64_t cmd, const fwmd_body &body) { return fwmd_encode(fwmd_make(cmd, body)).size(); }

fwmd_body header_body(const std::string &h) {
    return fwmd_body().u32(static_cast<uint32_t>(h.size())).raw(h.data(), h.size()).u32(0);
}

void expect_link(const korvctl_json &l, int64_t port, int64_t records_in, int64_t bytes_in, int64_t records_out,
                 int64_t bytes_out) {
    EXPECT_TRUE(l["connected"].boolean);
    // fwmd runs in this process: the peer check found our uid.
    EXPECT_EQ(l["peer_uid"].kind, korvctl_json::number_v);
    const std::pair<const char *, int64_t> want[] = {
        {"port", port}, {"peer_uid", getuid()}, {"connects", 1}, {"refused", 0}, {"records_in", records_in},
        {"bytes_in", bytes_in}, {"records_out", records_out}, {"bytes_out", bytes_out}, {"bad_records", 0}};
    for (const auto &[key, value] : want) EXPECT_EQ(l[key].as_int(), value) << key;
}

TEST(CtlE2e, StatusCountsAScriptedSessionExactlyAndLogLevelSwitchesFlowLines) {
    ctl_rig r;
    ASSERT_TRUE(r.up());
    // Path info: three waveforms, given out of order, one removed again.  The
    // name of wf 9 holds a quote and a byte above 0x7F.
    const fwmd_body add9 = path_add(9, "odd\"name\xe9", LTEP2P_DIR, "nvram_ltep2p.bin");
    const fwmd_body add3 = path_add(3, "UTRAN", UTRAN_DIR, "nvram_utran.bin");
    const fwmd_body add5 = path_add(5, "GONE", LTEP2P_DIR, "gone.bin");
    for (const fwmd_body *b : {&add9, &add3, &add5})
        ASSERT_EQ(r.send(FWMD_NV, MWRX_WFMGR_COMM_PATH_INFO_IND, *b), 0);
    ASSERT_EQ(r.send(FWMD_NV, MWRX_WFMGR_COMM_PATH_INFO_IND, path_remove(5)), 0);
    // Ten entries, two of them for a waveform korv does not know.
    std::vector<std::pair<uint32_t, std::string>> entries;
    for (int i = 0; i < 10; i++) entries.push_back({i == 2 || i == 7 ? 77u : (i % 2 ? 3u : 9u), "abc" + std::to_string(i)});
    const fwmd_body nv = modify(entries);
    ASSERT_EQ(r.send(FWMD_NV, MWRX_WFMGR_NV_MODIFY_IND, nv), 0);
    ASSERT_EQ(r.voltage(1, 3), 0);
    ASSERT_TRUE(r.expect(MWRX_WF_CARD_POWERON_REPORT_CNF));
    ASSERT_EQ(r.send_header(utrantest::two_bridges()), 0);
    ASSERT_EQ(r.wf_type(1), 0);
    ASSERT_TRUE(r.journal_has(2));

    korvctl_json s;
    ASSERT_TRUE(korvtest::wait_until(
        [&] {
            s = r.ask_json("status");
            // Both files written are synced at least once, with the batch
            // (or batches: an empty queue ends one) that wrote them.
            return s["nvram"]["written"].as_int() + s["nvram"]["dropped"].as_int() == 10 &&
                   s["nvram"]["synced"].as_int() >= 2;
        },
        15000));
    EXPECT_EQ(s["version"].text, "bw_hqs_v2.10.01_20150301");
    EXPECT_EQ(s["pid"].as_int(), r.korv->pid);
    EXPECT_GT(s["uptime_ms"].as_int(), 0);
    EXPECT_EQ(s["modem"]["state"].text, "running");
    EXPECT_EQ(s["modem"]["nvram_cache"]["base"].as_int(), 0x800000);
    EXPECT_EQ(s["modem"]["nvram_cache"]["size"].as_int(), 0x100000);

    uint64_t work_in = framed(MWRX_WF_CARD_POWERON_REPORT_REQ, fwmd_body().u8(1).u8(3)) +
                       framed(MWRX_WFMGR_WFCFG_IND, header_body(utrantest::two_bridges())) +
                       framed(MWRX_WFMGR_KORGR_WF_TYPE_IND, fwmd_body().u32(1).u32(1));
    expect_link(s["links"]["work"], fwmd_port(r.fw, FWMD_WORK), 3, work_in, 1,
                framed(MWRX_WF_CARD_POWERON_REPORT_CNF, fwmd_body()));
    uint64_t nv_in = framed(MWRX_WFMGR_COMM_PATH_INFO_IND, add9) * 3 +
                     framed(MWRX_WFMGR_COMM_PATH_INFO_IND, path_remove(5)) + framed(MWRX_WFMGR_NV_MODIFY_IND, nv);
    expect_link(s["links"]["nv"], fwmd_port(r.fw, FWMD_NV), 5, nv_in, 0, 0);

    for (const auto &[key, value] : {std::pair<const char *, int64_t>{"queued", 10}, {"written", 8}, {"dropped", 2},
                                     {"bytes_written", 8 * 4}})
        EXPECT_EQ(s["nvram"][key].as_int(), value) << key;

    const korvctl_json &wf = s["waveforms"];
    ASSERT_EQ(wf.items.size(), 2u);
    EXPECT_EQ(wf.items[0]["wf_id"].as_int(), 3);
    EXPECT_EQ(wf.items[0]["name"].text, "UTRAN");
    EXPECT_EQ(wf.items[0]["path"].text, UTRAN_DIR);
    EXPECT_EQ(wf.items[0]["nv_file"].text, "nvram_utran.bin");
    EXPECT_EQ(wf.items[1]["wf_id"].as_int(), 9);
    EXPECT_EQ(wf.items[1]["name"].text, "odd\"name\u00e9");
    EXPECT_EQ(wf.items[1]["nv_file"].text, "nvram_ltep2p.bin");

    EXPECT_TRUE(s["utran"]["started"].boolean);
    ASSERT_EQ(s["utran"]["channels"].items.size(), 2u);
    EXPECT_EQ(s["utran"]["channels"].items[0].text, "utran0");
    EXPECT_EQ(s["utran"]["channels"].items[1].text, "utran1");
    EXPECT_EQ(s["exception"]["state"].text, "idle");
    EXPECT_EQ(s["exception"]["count"].as_int(), 0);
    EXPECT_EQ(s["exception"]["last_type"].kind, korvctl_json::null_v);
    EXPECT_EQ(s["log"]["sink"].text, r.korv->log_path);
    EXPECT_EQ(s["log"]["failed_writes"].text, "0");

    // korvctl itself: the JSON as it came, and the lines for people.
    std::string out;
    ASSERT_EQ(r.ctl("status --json", &out), 0);
    korvctl_json again;
    EXPECT_EQ(korvctl_json_parse(out, &again, nullptr), 0) << out;
    ASSERT_EQ(r.ctl("status", &out), 0);
    EXPECT_NE(out.find("utran       started, channels utran0 utran1\n"), std::string::npos) << out;
    EXPECT_NE(out.find("nvram       10 queued, 8 written (32 bytes), 2 dropped, "), std::string::npos) << out;
    EXPECT_NE(out.find(" synced\n"), std::string::npos) << out;

    // Log level error: no flow line, an error line still comes through (a
    // header that is empty); flow brings the flow lines back.
    EXPECT_EQ(r.ask("log level"), "{\"level\":\"flow\"}");
    EXPECT_EQ(r.ask("log level error"), "{\"level\":\"error\"}");
    size_t quiet_from = r.korv->log().size();
    ASSERT_EQ(r.voltage(1, 3), 0);
    ASSERT_TRUE(r.expect(MWRX_WF_CARD_POWERON_REPORT_CNF));
    ASSERT_EQ(r.send(FWMD_WORK, MWRX_WFMGR_WFCFG_IND, fwmd_body().u32(0)), 0);
    ASSERT_TRUE(r.korv->wait_log("[KORV]MWRX_WFMGR_WFCFG_IND info is empty!"));
    std::string quiet = r.korv->log().substr(quiet_from);
    EXPECT_EQ(korvtest::count_of(quiet, " D "), 0) << quiet;
    EXPECT_EQ(korvtest::count_of(quiet, " E "), 1) << quiet;
    ASSERT_EQ(r.ctl("log level flow", &out), 0);
    EXPECT_EQ(out, "flow\n");
    ASSERT_EQ(r.voltage(1, 3), 0);
    ASSERT_TRUE(r.expect(MWRX_WF_CARD_POWERON_REPORT_CNF));
    EXPECT_TRUE(r.korv->wait_log("[KORV][WORK]voltag_control write socket:"));
    EXPECT_EQ(r.ask("log level loud"), "{\"error\":\"unknown level: log level [error|flow]\"}");
    EXPECT_EQ(r.ask("log level"), "{\"level\":\"flow\"}");
}

// The allowed uids are read at each connection: first the defaults, which
// leave out 4242, then a list that names 4242 and leaves out root.
TEST(CtlE2e, ClientOfUidNotAllowedIsClosedWithoutAnswer) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    ctl_rig r;
    ASSERT_TRUE(r.up());
    // The mode korv gives its socket keeps other users out before the uid
    // check; opened here so that the check itself is what refuses.
    struct stat st;
    ASSERT_EQ(stat(r.socket().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u);
    ASSERT_EQ(chmod(r.socket().c_str(), 0666), 0);
    ASSERT_EQ(chmod(r.root.dir.c_str(), 0755), 0);
    auto ask_as = [&](uid_t uid) {
        return as_uid(uid, [&] {
            std::string answer, err;
            return korvctl_ask(r.socket(), "status", &answer, &err) == 0 ? 0 : 1;
        });
    };
    EXPECT_EQ(ask_as(4242), 1);
    EXPECT_TRUE(r.korv->wait_log("[KORV][CTL] control client of uid 4242"));
    EXPECT_EQ(ask_as(0), 0);

    r.root.set_prop("ro.korv.fw_uids", "4242");
    EXPECT_EQ(ask_as(4242), 0);
    EXPECT_EQ(ask_as(0), 1);
    EXPECT_EQ(r.count(" refused\n"), 2);
}

// init's socket: served as it is, never created or removed by korv.
TEST(CtlE2e, SocketFromInitIsServedAndLeftInPlace) {
    korvtest::sim_root root;
    std::string path = root.dir + "/init-korv";
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr = unix_addr(path);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
    korvtest::korv_proc korv(root, {}, {"ANDROID_SOCKET_korv=" + std::to_string(fd)});
    close(fd);
    std::string answer, err;
    ASSERT_TRUE(korvtest::wait_until([&] { return korvctl_ask(path, "log level", &answer, &err) == 0; }, 15000))
        << err;
    EXPECT_EQ(answer, "{\"level\":\"flow\"}");
    EXPECT_FALSE(root.exists("/dev/socket/korv"));
    EXPECT_EQ(korv.stop(SIGTERM), 0);
    EXPECT_EQ(access(path.c_str(), F_OK), 0);
}

}  // namespace
