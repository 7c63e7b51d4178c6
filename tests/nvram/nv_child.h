// Helpers of the NVRAM tests: scenarios run in a forked child on a simulated
// root (child_root.h), and NV-channel records built with the fwmd encoder.
#ifndef NV_CHILD_H
#define NV_CHILD_H

#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include "fwmd.h"
#include "child_root.h"
#include "kor_msg_cmd.h"
#include "kor_os.h"
#include "kor_platform.h"
#include "modem/at_modem.h"
#include "nvram/nvram.h"

namespace nvtest {

using korvtest::read_range;
inline const std::string UTRAN_DIR = "/data/brimwell/wf_manager/waveform/UTRAN/";
inline const std::string LTEP2P_DIR = "/data/brimwell/wf_manager/waveform/LTEP2P/";
inline const std::string MA_FILE = "/data/brimwell/nvram/nvram_sysconfig_ma.bin";
inline const std::string BA_FILE = "/data/brimwell/nvram/nvram_sysconfig_ba.bin";
inline const std::string NV_LOG_FILE = "/data/brimwell/nvram/nvram_log.bin";

using nv_root = korvtest::child_root;

// In the child: opens the modem device and brings the store up.
inline uint32_t nv_up() {
    fd_modem = kor_open(MODEM_DEV_PATH, O_RDWR);
    tp_os_queue_init();
    tp_nvram_open_files();
    return tp_nvram_init();
}

// In the child: hands one record to the NV-channel dispatcher.
inline void feed(int fd, uint64_t msg_cmd, const fwmd_body &body, uint64_t wf_id = 0) {
    fwmd_msg m;
    m.wf_id = wf_id, m.src = 1, m.dst = 2, m.msg_cmd = msg_cmd, m.body = body.bytes;
    std::vector<uint8_t> framed = fwmd_encode(m);
    socket_event(fd, framed.data() + 4, framed.size() - 4);
}

struct nv_entry {
    uint32_t wf_id, offset;
    std::string data;
};

// An NV-modify body: the count (the number of entries unless given), then
// the entries (flag 0).
inline fwmd_body modify(const std::vector<nv_entry> &entries, int64_t count = -1) {
    fwmd_body b;
    b.u32(count < 0 ? (uint32_t)entries.size() : (uint32_t)count);
    for (const auto &e : entries)
        b.u32(0).u32(e.wf_id).u32(e.offset).u32((uint32_t)e.data.size()).raw(e.data.data(), e.data.size());
    return b;
}

// The writer's log line for an entry of wf_id, as a sentinel of an unknown
// wf_id shows once the writer has handled everything queued before it.
inline std::string written_line(uint32_t wf_id) {
    return "man_nvram_entry: NVRAM_MODIFY_IND wf_id=" + std::to_string(wf_id) + "\n";
}

// In the child: waits until the writer has handled everything queued so far.
inline bool drain(const std::string &log_path) {
    static uint32_t sentinel = 0x5E000;
    uint32_t id = ++sentinel;
    feed(-1, MWRX_WFMGR_NV_MODIFY_IND, modify({{id, 0, ""}}));
    return korvtest::wait_until([&] { return korvtest::read_file(log_path).find(written_line(id)) != std::string::npos; },
                                30000);
}

inline fwmd_body path_info_body(uint32_t wf_id, const std::string &wf_path, const std::string &nv_file,
                                const std::string &wf_name = "wf") {
    return fwmd_body().u32(1).u32(wf_id).chars(wf_name, 64).chars(wf_path, 128).chars(nv_file, 64);
}

}  // namespace nvtest

#endif
