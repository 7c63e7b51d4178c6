/* Rig of the hostile tests (see hostile_rig.h).  korv's standard error is
 * caught by pointing this process's descriptor 2 at a file for the moment
 * the harness forks korv: the child keeps the file, the test gets its own
 * standard error back. */
#include "hostile_rig.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

namespace hostile {

const std::string MA_FILE = "/data/brimwell/nvram/nvram_sysconfig_ma.bin";
const std::string UTRAN_DIR = "/data/brimwell/wf_manager/waveform/UTRAN/";
const std::string LTEP2P_DIR = "/data/brimwell/wf_manager/waveform/LTEP2P/";
const char *const EXC_CLAIMED = "[KORV][WORK]: kro_handle_modem_exception flag:";
const char *const EXC_IGNORED = "kro_handle_modem_exception ignored for modem is reseting now flag:";
const char *const POLL_TICK = "======on_dump_stat_polling eson loop enter ======";

namespace {

/* Descriptor 2 points at path while it lives. */
struct stderr_to_file {
    int saved = -1;
    explicit stderr_to_file(const std::string &path) {
        fflush(stderr);
        int f = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (f < 0) return;
        saved = dup(2);
        dup2(f, 2);
        close(f);
    }
    ~stderr_to_file() {
        if (saved < 0) return;
        fflush(stderr);
        dup2(saved, 2);
        close(saved);
    }
};

void put_le(std::string &s, uint64_t v, int width) {
    for (int i = 0; i < width; i++) s.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

}  // namespace

rig::rig(const props &initial, bool with_fwmd, int work_port, int nv_port) {
    for (const auto &p : initial) root.set_prop(p.first, p.second);
    /* Held for korv's whole life: a FIFO without writers reads end of file
     * at once and for ever. */
    socbridge_w = open(root.path("/dev/socbridge").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (with_fwmd) {
        fw = fwmd_start(work_port, nv_port);
        if (fw == nullptr) return;
        work_port = fwmd_port(fw, FWMD_WORK);
        nv_port = fwmd_port(fw, FWMD_NV);
    }
    stderr_path = root.dir + "/korv-stderr.txt";
    stderr_to_file redirect(stderr_path);
    korv = std::make_unique<korvtest::korv_proc>(root, std::vector<std::string>{},
                                                 std::vector<std::string>{}, work_port, nv_port);
}

rig::~rig() {
    korv.reset();
    if (fw != nullptr) fwmd_stop(fw);
    if (socbridge_w >= 0) close(socbridge_w);
}

/* The file korv's descriptor 2 names: a report that landed elsewhere
 * would go unseen, so the rig insists on it. */
static std::string stderr_target(pid_t pid) {
    char buf[4096];
    ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/fd/2").c_str(), buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

bool rig::up() {
    if (!korv || socbridge_w < 0) return false;
    if (stderr_target(korv->pid) != stderr_path) return false;
    if (fw != nullptr && (fwmd_wait_connected(fw, FWMD_WORK, 15000) != 0 ||
                          fwmd_wait_connected(fw, FWMD_NV, 15000) != 0))
        return false;
    return korv->wait_log("persist.sys.modem.exception= ", 15000);
}

int rig::send(int channel, uint32_t cmd, const fwmd_body &body, uint64_t wf_id) {
    return fwmd_send_cmd(fw, channel, cmd, body, wf_id);
}

int rig::send_raw(int channel, const std::string &bytes) {
    return fwmd_send_raw(fw, channel, bytes.data(), bytes.size());
}

fwmd_msg rig::expect(int channel, uint32_t cmd, int timeout_ms) {
    fwmd_msg m;
    if (fwmd_expect(fw, channel, cmd, &m, timeout_ms) != 0) return fwmd_msg();
    return m;
}

bool rig::work_alive() {
    static uint32_t probe = 0x7E570000;
    const uint32_t status = ++probe;
    if (send(FWMD_WORK, MWRX_WFMGR_KORGR_WF_TYPE_IND, fwmd_body().u32(status).u32(0x7E57)) != 0)
        return false;
    return korv->wait_log("[KORV][WORK]MWRX_WFMGR_KORGR_WF_TYPE_IND body status:" +
                              std::to_string(static_cast<int>(status)) + ", type:32343\n",
                          15000);
}

bool rig::nv_alive() {
    /* The answer names the probe's wf_id, so answers to earlier requests
     * still queued cannot pass for it. */
    static uint32_t probe = 0x7E570000;
    const uint32_t wf = ++probe;
    if (send(FWMD_NV, MWRX_WFMGR_LOAD_REQ, load_req(16, 0, 0, 0, 5, "x.bin"), wf) != 0) return false;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < end) {
        fwmd_msg m = expect(FWMD_NV, MWRX_WFMGR_LOAD_CNF, 1000);
        if (m.msg_cmd == MWRX_WFMGR_LOAD_CNF && m.wf_id == wf) return load_count(m) == 0;
    }
    return false;
}

bool rig::feed_socbridge(const std::string &bytes, int timeout_ms) {
    size_t at = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (at < bytes.size()) {
        ssize_t w = write(socbridge_w, bytes.data() + at, bytes.size() - at);
        if (w > 0) {
            at += static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno != EAGAIN && errno != EINTR) return false;
        if (std::chrono::steady_clock::now() >= end) return false;
        struct pollfd p = {socbridge_w, POLLOUT, 0};
        poll(&p, 1, 100);
    }
    return true;
}

int rig::socbridge_pending() const {
    int n = -1;
    return ioctl(socbridge_w, FIONREAD, &n) == 0 ? n : -1;
}

std::string rig::crash_report() const {
    std::string report;
    for (const std::string &line : korvtest::split_lines(korvtest::read_file(stderr_path)))
        if (line.find("Sanitizer") != std::string::npos ||
            line.find("runtime error") != std::string::npos ||
            line.find("==ERROR") != std::string::npos)
            report += line + "\n";
    return report;
}

long rig::status_field(const char *name) const {
    if (!korv || korv->pid <= 0) return -1;
    std::ifstream in("/proc/" + std::to_string(korv->pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(name, 0) == 0) return std::strtol(line.c_str() + strlen(name), nullptr, 10);
    return -1;
}

int rig::open_fds() const {
    if (!korv || korv->pid <= 0) return -1;
    std::error_code ec;
    int n = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(korv->pid) + "/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        n++;
    return n;
}

void expect_clean(rig &r, bool may_have_exited) {
    ASSERT_TRUE(r.korv);
    if (may_have_exited && !r.korv->running())
        EXPECT_EQ(r.korv->wait_exit(0), 0) << "korv ended other than through its exit path";
    else
        EXPECT_TRUE(r.korv->running()) << "korv is gone";
    EXPECT_EQ(r.crash_report(), "");
    /* The exit handler turns SIGSEGV (11) and SIGBUS (7) into a tidy exit:
     * only its log line tells a crash from a stop. */
    EXPECT_EQ(r.count("hqsd receive signal 11\n"), 0);
    EXPECT_EQ(r.count("hqsd receive signal 7\n"), 0);
}

std::string message(uint64_t len, uint64_t body_len, uint64_t cmd, const std::string &body,
                    uint64_t wf_id, uint16_t src, uint16_t dst) {
    std::string m;
    put_le(m, len, 8);
    put_le(m, wf_id, 8);
    put_le(m, src, 2);
    put_le(m, dst, 2);
    put_le(m, cmd, 8);
    put_le(m, body_len, 8);
    return m + body;
}

std::string honest(uint64_t cmd, const std::string &body, uint64_t wf_id) {
    return message(36 + body.size(), body.size(), cmd, body, wf_id);
}

std::string frame(const std::string &record) {
    std::string f;
    for (int shift = 24; shift >= 0; shift -= 8)
        f.push_back(static_cast<char>((record.size() >> shift) & 0xff));
    return f + record;
}

std::string body_bytes(const fwmd_body &b) { return std::string(b.bytes.begin(), b.bytes.end()); }

std::string random_bytes(std::mt19937 &rng, size_t n) {
    std::string s(n, '\0');
    for (char &c : s) c = static_cast<char>(rng() & 0xff);
    return s;
}

fwmd_body path_info(uint32_t wf_id, const std::string &wf_path, const std::string &nv_file,
                    const std::string &wf_name) {
    fwmd_body b;
    b.u32(1).u32(wf_id).chars(wf_name, 64).chars(wf_path, 128).chars(nv_file, 64);
    return b;
}

fwmd_body &nv_entry(fwmd_body &b, uint32_t wf_id, uint32_t offset, const std::string &data) {
    return b.u32(0).u32(wf_id).u32(offset).u32(static_cast<uint32_t>(data.size())).raw(data.data(), data.size());
}

fwmd_body load_req(uint32_t req_len, uint32_t read_len, uint32_t dst, uint32_t file_len,
                   uint32_t name_len, const std::string &name_bytes) {
    fwmd_body b;
    b.u32(1).u32(req_len).u32(read_len).u32(dst).u32(file_len).u32(name_len);
    return b.raw(name_bytes.data(), name_bytes.size());
}

std::string soc_record(uint32_t type, const std::string &payload, uint32_t length_field) {
    std::string r = "ME";
    put_le(r, type, 4);
    put_le(r, length_field, 4);
    return r + payload;
}

uint32_t load_count(const fwmd_msg &cnf) { return fwmd_body_u32(cnf, 4); }

std::string file_range(const std::string &path, long offset, size_t len) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(offset);
    std::string s(len, '\0');
    in.read(&s[0], static_cast<std::streamsize>(len));
    s.resize(static_cast<size_t>(in.gcount()));
    return s;
}

}  // namespace hostile
