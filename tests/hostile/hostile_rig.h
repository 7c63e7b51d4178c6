/* What the hostile tests add to the shared rig (korv_rig.h): korv's standard
 * error in a file of its own (sanitizer reports land there), probes that the
 * channels still answer, and the measures korv is judged by: still running,
 * no sanitizer report, no fault signal, bounded memory, threads and
 * descriptors. */
#ifndef KORV_TEST_HOSTILE_RIG_H
#define KORV_TEST_HOSTILE_RIG_H

#include <fcntl.h>
#include <poll.h>
#include <stdint.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "korv_rig.h"

namespace hostile {

using korvtest::props;

const std::string MA_FILE = "/data/brimwell/nvram/nvram_sysconfig_ma.bin";
const std::string UTRAN_DIR = "/data/brimwell/wf_manager/waveform/UTRAN/";
const std::string LTEP2P_DIR = "/data/brimwell/wf_manager/waveform/LTEP2P/";
const char *const EXC_CLAIMED = "[KORV][WORK]: kro_handle_modem_exception flag:";
const char *const EXC_IGNORED = "kro_handle_modem_exception ignored for modem is reseting now flag:";
const char *const POLL_TICK = "======on_dump_stat_polling eson loop enter ======"; /* dump poll */

inline void put_le(std::string &s, uint64_t v, int width) {
    for (int i = 0; i < width; i++) s.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

inline fwmd_body load_req(uint32_t req_len, uint32_t read_len, uint32_t dst, uint32_t file_len,
                          uint32_t name_len, const std::string &name_bytes) {
    fwmd_body b;
    b.u32(1).u32(req_len).u32(read_len).u32(dst).u32(file_len).u32(name_len);
    return b.raw(name_bytes.data(), name_bytes.size());
}

inline uint32_t load_count(const fwmd_msg &cnf) { return fwmd_body_u32(cnf, 4); }

/* The shared rig with korv's standard error captured (sanitizer reports land
 * there).  Given ports, korv is pointed at them and no fwmd listens there. */
struct rig : korvtest::korv_rig {
    explicit rig(const props &initial = {}, int work_port = 0, int nv_port = 0)
        : korv_rig(korvtest::rig_opts{initial, work_port, nv_port, true, "", {}}) {}

    /* A waveform type of no known type is only logged: once its line is
     * there, the work looper has taken everything sent before it. */
    bool work_alive() {
        static uint32_t probe = 0x7E570000;
        const uint32_t status = ++probe;
        return send(FWMD_WORK, MWRX_WFMGR_KORGR_WF_TYPE_IND, fwmd_body().u32(status).u32(0x7E57)) == 0 &&
               korv->wait_log("[KORV][WORK]MWRX_WFMGR_KORGR_WF_TYPE_IND body status:" +
                                  std::to_string(static_cast<int>(status)) + ", type:32343\n",
                              15000);
    }
    /* A load for a waveform nobody described is answered with count 0; the
     * answer names the probe's wf_id, so earlier answers cannot pass for it. */
    bool nv_alive() {
        static uint32_t probe = 0x7E570000;
        const uint32_t wf = ++probe;
        if (send(FWMD_NV, MWRX_WFMGR_LOAD_REQ, load_req(16, 0, 0, 0, 5, "x.bin"), wf) != 0) return false;
        for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
             std::chrono::steady_clock::now() < end;) {
            fwmd_msg m = next(FWMD_NV, MWRX_WFMGR_LOAD_CNF, 1000);
            if (m.msg_cmd == MWRX_WFMGR_LOAD_CNF && m.wf_id == wf) return load_count(m) == 0;
        }
        return false;
    }
    /* Writes all of bytes into the exception FIFO as korv takes them; false
     * when it stopped reading. */
    bool feed_socbridge(const std::string &bytes, int timeout_ms = 60000) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (size_t at = 0; at < bytes.size();) {
            ssize_t w = write(socbridge_w, bytes.data() + at, bytes.size() - at);
            if (w > 0) {
                at += static_cast<size_t>(w);
                continue;
            }
            if ((w < 0 && errno != EAGAIN && errno != EINTR) || std::chrono::steady_clock::now() >= end)
                return false;
            struct pollfd p = {socbridge_w, POLLOUT, 0};
            poll(&p, 1, 100);
        }
        return true;
    }
    int socbridge_pending() const { /* bytes korv has not read yet */
        int n = -1;
        return ioctl(socbridge_w, FIONREAD, &n) == 0 ? n : -1;
    }
    std::string crash_report() const { /* sanitizer lines on korv's standard error */
        std::string report;
        for (const std::string &line : korvtest::split_lines(korvtest::read_file(stderr_path)))
            for (const char *mark : {"Sanitizer", "runtime error", "==ERROR"})
                if (line.find(mark) != std::string::npos) {
                    report += line + "\n";
                    break;
                }
        return report;
    }
    long status_field(const char *name) const { /* /proc/PID/status, -1 when gone */
        if (!korv || korv->pid <= 0) return -1;
        std::ifstream in("/proc/" + std::to_string(korv->pid) + "/status");
        for (std::string line; std::getline(in, line);)
            if (line.rfind(name, 0) == 0) return std::strtol(line.c_str() + strlen(name), nullptr, 10);
        return -1;
    }
    long rss_kb() const { return status_field("VmRSS:"); }
    /* Room for a user-mode emulator's translation cache in korv's RSS (the
     * arm64 suite runs korv under qemu, whose cache grows with every code
     * path korv takes for the first time: about 80 MiB in the flood). */
    long rss_slack_kb() const {
        if (!korv || korv->pid <= 0) return 0;
        std::error_code ec;
        auto exe = std::filesystem::read_symlink("/proc/" + std::to_string(korv->pid) + "/exe", ec);
        return !ec && exe.filename().string().rfind("qemu-", 0) == 0 ? 256 * 1024 : 0;
    }
    long threads() const { return status_field("Threads:"); }
    int open_fds() const {
        if (!korv || korv->pid <= 0) return -1;
        std::error_code ec;
        int n = 0;
        for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(korv->pid) + "/fd", ec);
             !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
            n++;
        return n;
    }
};

/* Every hostile test ends with: korv still running (or, with may_have_exited,
 * ended with status 0), no sanitizer report, no fault signal in its log. */
inline void expect_clean(rig &r, bool may_have_exited = false) {
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

/* Message bytes with header fields as given (they may lie), body appended. */
inline std::string message(uint64_t len, uint64_t body_len, uint64_t cmd, const std::string &body,
                           uint64_t wf_id = 0) {
    std::string m;
    for (auto [v, width] : std::initializer_list<std::pair<uint64_t, int>>{
             {len, 8}, {wf_id, 8}, {1, 2}, {2, 2}, {cmd, 8}, {body_len, 8}})
        put_le(m, v, width);
    return m + body;
}
inline std::string honest(uint64_t cmd, const std::string &body, uint64_t wf_id = 0) {
    return message(36 + body.size(), body.size(), cmd, body, wf_id);
}
/* The record behind its 4-byte big-endian length. */
inline std::string frame(const std::string &record) {
    std::string f;
    for (int shift = 24; shift >= 0; shift -= 8) f.push_back(static_cast<char>((record.size() >> shift) & 0xff));
    return f + record;
}
inline std::string body_bytes(const fwmd_body &b) { return std::string(b.bytes.begin(), b.bytes.end()); }
inline std::string random_bytes(std::mt19937 &rng, size_t n) {
    std::string s(n, '\0');
    for (char &c : s) c = static_cast<char>(rng() & 0xff);
    return s;
}

inline fwmd_body path_info(uint32_t wf_id, const std::string &wf_path, const std::string &nv_file,
                           const std::string &wf_name = "wf") {
    return fwmd_body().u32(1).u32(wf_id).chars(wf_name, 64).chars(wf_path, 128).chars(nv_file, 64);
}
/* One NV-modify entry appended to b (N is the caller's). */
inline fwmd_body &nv_entry(fwmd_body &b, uint32_t wf_id, uint32_t offset, const std::string &data) {
    return b.u32(0).u32(wf_id).u32(offset).u32(static_cast<uint32_t>(data.size())).raw(data.data(), data.size());
}
/* An exception-channel record: "ME", u32 type, u32 length field (by default
 * the payload's), payload. */
inline std::string soc_record(uint32_t type, const std::string &payload, int64_t length_field = -1) {
    std::string r = "ME";
    put_le(r, type, 4);
    put_le(r, length_field < 0 ? payload.size() : static_cast<uint64_t>(length_field), 4);
    return r + payload;
}
using korvtest::read_range;

}  // namespace hostile

#endif
