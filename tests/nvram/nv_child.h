/* Helpers of the NVRAM tests: scenarios run in a forked child on a simulated
 * root (KORV_ROOT is read once per process and the NVRAM statics live as
 * long as it), NV-channel records built with the fwmd encoder, and reads of
 * byte ranges of the root's files. */
#ifndef NV_CHILD_H
#define NV_CHILD_H

#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fwmd.h"
#include "harness.h"
#include "kor_msg_cmd.h"
#include "kor_os.h"
#include "kor_platform.h"
#include "modem/at_modem.h"
#include "nvram/nvram.h"

namespace nvtest {

inline const std::string UTRAN_DIR = "/data/brimwell/wf_manager/waveform/UTRAN/";
inline const std::string LTEP2P_DIR = "/data/brimwell/wf_manager/waveform/LTEP2P/";
inline const std::string MA_FILE = "/data/brimwell/nvram/nvram_sysconfig_ma.bin";
inline const std::string BA_FILE = "/data/brimwell/nvram/nvram_sysconfig_ba.bin";
inline const std::string NV_LOG_FILE = "/data/brimwell/nvram/nvram_log.bin";

/* Runs fn in a child with KORV_ROOT = root and its log in log_path; returns
 * what fn returned.  The test fails when the child does not exit cleanly. */
inline std::string in_child(const korvtest::sim_root &root, const std::string &log_path,
                            const std::function<std::string()> &fn) {
    int p[2];
    if (pipe(p) != 0) return "pipe failed";
    pid_t pid = fork();
    if (pid == 0) {
        close(p[0]);
        setenv("KORV_ROOT", root.dir.c_str(), 1);
        setenv("KORV_LOG_FILE", log_path.c_str(), 1);
        tp_os_log_init(0);
        std::string out = fn();
        ssize_t n = write(p[1], out.data(), out.size());
        _exit(n == (ssize_t)out.size() ? 0 : 3);
    }
    close(p[1]);
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = read(p[0], buf, sizeof buf)) > 0;) out.append(buf, (size_t)n);
    close(p[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    return out;
}

/* In the child: opens the modem device and brings the store up. */
inline uint32_t nv_up() {
    fd_modem = kor_open(MODEM_DEV_PATH, O_RDWR);
    tp_os_queue_init();
    tp_nvram_open_files();
    return tp_nvram_init();
}

/* In the child: hands one record to the NV-channel dispatcher. */
inline void feed(int fd, uint64_t msg_cmd, const fwmd_body &body, uint64_t wf_id = 0) {
    fwmd_msg m;
    m.wf_id = wf_id;
    m.src = 1;
    m.dst = 2;
    m.msg_cmd = msg_cmd;
    m.body = body.bytes;
    std::vector<uint8_t> framed = fwmd_encode(m);
    socket_event(fd, framed.data() + 4, framed.size() - 4);
}

/* Appends one NV-modify entry (flag 0). */
inline fwmd_body &entry(fwmd_body &b, uint32_t wf_id, uint32_t offset, const std::string &data) {
    return b.u32(0).u32(wf_id).u32(offset).u32((uint32_t)data.size()).raw(data.data(), data.size());
}

/* In the child: waits until the writer has handled everything queued so
 * far (a sentinel entry for an unknown wf_id shows up in its log). */
inline bool drain(const std::string &log_path) {
    static uint32_t sentinel = 0x5E000;
    uint32_t id = ++sentinel;
    fwmd_body b;
    b.u32(1);
    feed(-1, MWRX_WFMGR_NV_MODIFY_IND, entry(b, id, 0, ""));
    std::string want = "man_nvram_entry: NVRAM_MODIFY_IND wf_id=" + std::to_string(id) + "\n";
    return korvtest::wait_until(
        [&] { return korvtest::read_file(log_path).find(want) != std::string::npos; }, 30000);
}

inline fwmd_body path_info_body(uint32_t wf_id, const std::string &wf_path,
                                const std::string &nv_file, const std::string &wf_name = "wf") {
    fwmd_body b;
    b.u32(1).u32(wf_id).chars(wf_name, 64).chars(wf_path, 128).chars(nv_file, 64);
    return b;
}

inline std::string read_range(const std::string &host_path, uint64_t off, size_t n) {
    std::ifstream in(host_path, std::ios::binary);
    in.seekg((std::streamoff)off);
    std::string s(n, '\0');
    in.read(s.data(), (std::streamsize)n);
    s.resize((size_t)in.gcount());
    return s;
}

}  // namespace nvtest

#endif
