// Support for the UTRAN and exception tests: image headers, exception-channel
// records, log texts, and the korv rig with UTRAN and exception helpers.
#ifndef KORV_TEST_UTRAN_TEST_H
#define KORV_TEST_UTRAN_TEST_H

#include "korv_rig.h"

namespace utrantest {

using korvtest::props;
constexpr uint32_t TAG_END = 0x54410000u, TAG_VER = 0x54410001u, TAG_INFO = 0x54410002u,
                   TAG_BRIDGE = 0x54410004u;

inline std::string le32(uint32_t v) {
    std::string s;
    for (int i = 0; i < 4; i++) s.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
    return s;
}

inline std::string text12(std::string s) {
    s.resize(12, '\0');
    return s;
}

// Image header: tags back to back.  A tag's fields are written whole even
// when its size is smaller; a larger size is zero-padded.
struct hdr {
    std::string bytes;
    hdr &tag(uint32_t id, uint32_t size, const std::vector<uint32_t> &fields = {},
             const std::string &label = "") {
        size_t start = bytes.size();
        bytes += le32(size) + le32(id) + text12(label);
        for (uint32_t f : fields) bytes += le32(f);
        if (bytes.size() < start + size) bytes.resize(start + size, '\0');
        return *this;
    }
    hdr &end() {
        bytes += le32(8) + le32(TAG_END);
        return *this;
    }
    // 88 bytes: cp2ap=0x1000+base,4096,1 ap2cp=0x2000+base,4096,2 hs=8,1500,8,1500,5,6.
    hdr &bridge(const std::string &name, uint32_t type, uint32_t base = 0) {
        bytes += le32(88) + le32(TAG_BRIDGE) + text12("bridge") + text12(name);
        for (uint32_t f : {type, 1u, 0x1000u + base, 4096u, 1u, 0x2000u + base, 4096u, 2u, 8u,
                           1500u, 8u, 1500u, 5u, 6u})
            bytes += le32(f);
        return *this;
    }
};

// Two bridges, utran0 (type 3) and utran1 (type 1, its rings 0x100 up).
inline std::string two_bridges() { return hdr().bridge("utran0", 3).bridge("utran1", 1, 0x100).end().bytes; }

// One exception-channel record: "ME", u32 type, u32 length, payload.
inline std::string soc_record(uint32_t type, const std::string &payload) {
    return "ME" + le32(type) + le32(static_cast<uint32_t>(payload.size())) + payload;
}

inline std::string note(uint8_t type) { return std::string(1, static_cast<char>(type)) + std::string(3, '\0'); }

// The TEXT of log lines ("MM-DD HH:MM:SS.mmm PID TID L M: TEXT") that start
// with prefix, trailing blanks kept.
inline std::vector<std::string> log_texts(const std::string &log, const std::string &prefix) {
    std::vector<std::string> out;
    for (const auto &line : korvtest::split_lines(log)) {
        size_t at = 0;
        for (int field = 0; field < 6 && at != std::string::npos; field++)
            at = line.find(' ', field == 0 ? 0 : at + 1);
        if (at != std::string::npos && line.compare(at + 1, prefix.size(), prefix) == 0)
            out.push_back(line.substr(at + 1));
    }
    return out;
}

inline std::vector<std::string> dmi_lines(const korvtest::sim_root &root) {
    std::vector<std::string> out;
    for (const auto &l : root.journal())
        if (l.rfind("DMI_", 0) == 0) out.push_back(l);
    return out;
}

struct korv_rig : korvtest::korv_rig {
    int ttyled = -1;
    using korvtest::korv_rig::korv_rig;
    ~korv_rig() {
        if (ttyled >= 0) close(ttyled);
    }
    // Size, the bytes, and four trailing bytes the dispatcher keeps out of the image.
    int send_header(const std::string &h) {
        return send(FWMD_WORK, MWRX_WFMGR_WFCFG_IND, fwmd_body().u32(static_cast<uint32_t>(h.size())).raw(h.data(), h.size()).u32(0));
    }
    int wf_type(uint32_t status, uint32_t type = 1) {
        return send(FWMD_WORK, MWRX_WFMGR_KORGR_WF_TYPE_IND, fwmd_body().u32(status).u32(type));
    }
    int fw_exception() { return send(FWMD_WORK, MWRX_WFMGR_FW_EXCEPTION_REQ, fwmd_body()); }
    std::vector<std::string> dmi_journal() const { return dmi_lines(root); }
    bool journal_has(size_t n) {
        return korvtest::wait_until([&] { return dmi_journal().size() >= n; }, 15000);
    }
    // The pty slave through korv's link, with no line set-up of our own: the
    // settings korv chose are the ones in force.
    bool open_ttyled() {
        korvtest::wait_until([&] { return root.exists("/dev/ttyled"); }, 15000);
        ttyled = open(root.path("/dev/ttyled").c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
        return ttyled >= 0;
    }
    // Reads notification bytes until n have arrived or the wait ends.
    std::string read_notes(size_t n) {
        std::string got;
        korvtest::wait_until(
            [&] {
                char buf[64];
                for (ssize_t r; (r = read(ttyled, buf, sizeof buf)) > 0;) got.append(buf, r);
                return got.size() >= n;
            },
            20000);
        return got;
    }
};

}  // namespace utrantest

#endif
