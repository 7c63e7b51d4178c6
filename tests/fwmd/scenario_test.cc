/* Scenarios: parse errors name their line; a small scenario is played
 * against a fake korv (a thread speaking the wire format with the adapter's
 * codec, a FIFO, a pty and files in a temporary root); the CLI plays one. */
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "fwmd.h"
#include "harness.h"
#include "kor_msg.h"
#include "kor_msg_cmd.h"
#include "scenario.h"

namespace {

TEST(Scenario, ParseErrorsNameTheLine)
{
    struct {
        const char *text, *error;
    } cases[] = {
        {"send nv\n", "line 1: send takes 2 or more argument(s), got 1"},
        {"\n# nothing\nfoo work\n", "line 3: unknown step 'foo'"},
        {"label x\nsend nv MWRX_WFMGR_LOAD_CNF\n", "line 2: a label must come before a check"},
        {"connect work\nlabel a\n", "line 2: label \"a\" has no check after it"},
        {"expect nv MWRX_WFMGR_LOAD_CNF cnt=1", "line 1: MWRX_WFMGR_LOAD_CNF has no field 'cnt'"},
        {"timeout 10\nsend nv MWRX_WFMGR_LOAD_CNF flag=x", "line 2: MWRX_WFMGR_LOAD_CNF: flag=x: not a number"},
        {"prop a 1 within=soon", "line 1: 'soon' is not a number of milliseconds"},
        {"file data/x 0 AB", "line 1: file path 'data/x' must be a device path"},
        {"notify 300", "line 1: notification type '300' is not a byte"},
        {"journal x count=a", "line 1: expected count=N"},
        {"connect radio", "line 1: unknown channel 'radio'"},
        {"label a\nlabel b\nconnect nv", "line 2: two labels in a row"},
        {"socbridge \"ME", "line 1: unterminated quote"},
    };
    for (const auto &c : cases) {
        fwmd_scenario sc;
        std::string err;
        EXPECT_EQ(fwmd_scenario_parse(c.text, &sc, &err), -1) << c.text;
        EXPECT_EQ(err.rfind(c.error, 0), 0u) << c.text << "\n  error: " << err;
    }
}

TEST(Scenario, ShippedScenariosParse)
{
    DIR *d = opendir(KORV_SCENARIO_DIR);
    ASSERT_NE(d, nullptr);
    int n = 0;
    while (struct dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name.size() < 4 || name.compare(name.size() - 4, 4, ".scn") != 0)
            continue;
        fwmd_scenario sc;
        std::string err;
        EXPECT_EQ(fwmd_scenario_load(std::string(KORV_SCENARIO_DIR) + "/" + name, &sc, &err), 0) << err;
        EXPECT_FALSE(sc.steps.empty()) << name;
        n++;
    }
    closedir(d);
    EXPECT_GT(n, 0);
}

int connect_to(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons((uint16_t)port);
    return connect(fd, (struct sockaddr *)&a, sizeof a) == 0 ? fd : (close(fd), -1);
}

/* Reads one framed record; empty at end of stream. */
std::vector<uint8_t> read_record(int fd)
{
    auto read_all = [fd](uint8_t *b, size_t n) {
        for (size_t got = 0; got < n;) {
            ssize_t r = read(fd, b + got, n - got);
            if (r <= 0)
                return false;
            got += (size_t)r;
        }
        return true;
    };
    uint8_t len[4];
    if (!read_all(len, 4))
        return {};
    std::vector<uint8_t> rec((size_t)len[0] << 24 | len[1] << 16 | len[2] << 8 | len[3]);
    return read_all(rec.data(), rec.size()) ? rec : std::vector<uint8_t>{};
}

/* Just enough of korv for the scenario below: answers a load request and a
 * framework exception request, writes a file, a property and a journal line,
 * turns a dump record on the FIFO into notification 1, reconnects the work
 * link when fwmd closes it. */
struct fake_korv {
    korvtest::sim_root root{false};
    int ports[2];
    int fds[2] = {-1, -1};
    int fifo = -1, ptm = -1;
    std::atomic<bool> stop{false};
    std::thread t;

    explicit fake_korv(fwmd_server *s)
    {
        ports[0] = fwmd_port(s, FWMD_WORK);
        ports[1] = fwmd_port(s, FWMD_NV);
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
    void reply(int fd, const sca_header_st &req, uint32_t cmd, std::vector<uint32_t> body)
    {
        sca_header_st h = {0, req.wf_id, req.dst, req.src, cmd, 0};
        parcel_write_st *p = parcel_write_new(fd, 100, &h);
        for (uint32_t v : body)
            parcel_write_UINT32(p, v);
        write_parcel(p);
    }
    void on_record(int c, const std::vector<uint8_t> &rec)
    {
        parcel_read_st *p;
        sca_header_st *h = parse_sca_header(rec.data(), rec.size(), &p);
        if (h == nullptr)
            return;
        if (h->msg_cmd == MWRX_WFMGR_LOAD_REQ) {
            uint32_t flag = parcel_read_UINT32(p), req_len = parcel_read_UINT32(p);
            korvtest::write_file(root.path("/data/nv.bin"), std::string(16, '\0') + "ABCD");
            korvtest::write_file(root.path("/dev/__properties__/persist.sys.modem.exception"), "1");
            korvtest::write_file(root.path("/dev/modem.log"), "WF_BIN_LOAD path=/data/u.bin dst=0x0 len=4096 = 0\n");
            reply(fds[c], *h, MWRX_WFMGR_LOAD_CNF, {flag, req_len, 0});
        } else if (h->msg_cmd == MWRX_WFMGR_FW_EXCEPTION_REQ) {
            reply(fds[c], *h, MWRX_WFMGR_FW_EXCEPTION_CNF, {});
        }
        free_parcel_sca_header(h);
        free_parcel_read(p);
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
                    on_record(c, rec);
                } else { /* fwmd closed the link: come back, as korv's restart would */
                    close(fds[c]);
                    fds[c] = connect_to(ports[c]);
                }
            }
            char buf[64];
            ssize_t n = pf[2].revents ? read(fifo, buf, sizeof buf) : 0;
            if (n >= 3 && buf[0] == 'M' && buf[1] == 'E' && buf[2] == 2) {
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
    FILE *tr = tmpfile();
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

    rewind(tr);
    std::string text;
    for (int c; (c = fgetc(tr)) != EOF;)
        text += (char)c;
    fclose(tr);
    for (const char *line : {"-> nv   MWRX_WFMGR_LOAD_REQ [len:65 wf_id:7 src:1 dst:2 body_len:29]",
                             "<- nv   MWRX_WFMGR_LOAD_CNF [len:48 wf_id:7 src:2 dst:1 body_len:12]",
                             "== work korv connected (connection 2)", "[6] loading a binary",
                             "     ok: journal: WF_BIN_LOAD"})
        EXPECT_NE(text.find(line), std::string::npos) << line << "\n--- transcript:\n" << text;
    fwmd_stop(s);
}

TEST(Scenario, CommandLinePlaysAScriptAndPrintsTheTable)
{
    korvtest::sim_root dir(false);
    dir.write("/bad.scn", "connect work\nsleep soon\n");
    dir.write("/lonely.scn", "note nobody will come\nlabel \"korv connects\"\nconnect work within=50\n");
    std::string out;
    std::vector<std::string> cmd = {korvtest::bin_path("fwmd"), "--work-port", "0", "--nv-port", "0",
                                    "--script"};
    auto with = [&](const std::string &file) {
        std::vector<std::string> c = cmd;
        c.push_back(dir.path(file));
        return c;
    };
    EXPECT_EQ(korvtest::run_tool(with("/bad.scn"), &out), 2);
    EXPECT_EQ(korvtest::run_tool(with("/lonely.scn"), &out), 1);
    EXPECT_NE(out.find("[1] nobody will come"), std::string::npos) << out;
    EXPECT_NE(out.find("FAIL   korv connects  korv did not connect on work within 50 ms"), std::string::npos)
        << out;
}

}  // namespace
