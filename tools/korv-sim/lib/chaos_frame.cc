// korv-sim chaos: the framework stand-in.  It plays the plan's traffic steps
// through an fwmd server, as the framework would: the path records first on
// every new NV link, then NV bursts (records of up to 24 entries, each entry
// entered in the ledger once fwmd took it), SIM voltage requests, binary
// loads, the UTRAN image header and the service's start and stop.  Replies
// are taken off the queue and dropped: what korv writes is checked in its
// files, not in its answers.
#include <string.h>

#include "chaos_run.h"
#include "kor_msg_cmd.h"

namespace korvsim {
namespace {

/* A record of 24 entries of 16 bytes is 808 bytes with its header, within
 * the 1024 bytes a record may have on the links. */
constexpr size_t k_per_record = 24;

/* The UTRAN image header of the demonstration (tag_ver, a high-speed
 * bridge, a plain bridge, the end marker). */
const char k_wfcfg[] =
    "work MWRX_WFMGR_WFCFG_IND size=196 info=hex:18000000_01004154_766572000000000000000000_03020100_58000000_"
    "04004154_627269646765000000000000_757472616e30000000000000_03000000_01000000_00100000_00100000_01000000_"
    "00200000_00100000_02000000_08000000_dc050000_08000000_dc050000_05000000_06000000_40000000_04004154_"
    "627269646765000000000000_757472616e31000000000000_01000000_00000000_00300000_00080000_03000000_00400000_"
    "00080000_04000000_14000000_00004154_656e64000000000000000000_00000000";

int send_text(chaos_state &s, const std::string &line) {
    int channel = -1;
    fwmd_msg m;
    std::string err;
    if (fwmd_parse_message_line(line, &channel, &m, &err) != 0) {
        chaos_result(s, "framework script", false, "bad message \"" + line + "\": " + err);
        return -1;
    }
    return fwmd_send(s.fw, channel, m);
}

void send_paths(chaos_state &s) {
    unsigned conn = fwmd_connection_count(s.fw, FWMD_NV);
    if (conn == s.nv_paths_for || !fwmd_connected(s.fw, FWMD_NV)) return;
    bool ok = true;
    for (const chaos_nv_file &f : chaos_nv_files()) {
        if (f.wf_name[0] == '\0') continue;
        std::string name = strrchr(f.file, '/') + 1;
        ok = ok && send_text(s, "nv MWRX_WFMGR_COMM_PATH_INFO_IND selector=1 wf_id=" + std::to_string(f.wf_id) +
                                    " wf_name=" + f.wf_name + " wf_path=" + f.dir + " nv_file_name=" + name) == 0;
    }
    if (ok) s.nv_paths_for = conn;
}

void send_burst(chaos_state &s, const chaos_step &st) {
    std::vector<chaos_entry> entries = chaos_burst_entries(st);
    const chaos_nv_file &f = chaos_nv_files()[st.a];
    for (size_t i = 0; i < entries.size(); i += k_per_record) {
        size_t n = std::min(k_per_record, entries.size() - i);
        fwmd_body b;
        b.u32((uint32_t)n);
        for (size_t k = i; k < i + n; k++) {
            const chaos_entry &e = entries[k];
            std::string data = chaos_entry_text(e.seq, e.file, e.slot);
            b.u32(0).u32(f.wf_id).u32(f.base + e.slot * k_chaos_entry).u32(k_chaos_entry).raw(data.data(), data.size());
        }
        /* Sent or not sent: a record fwmd could not hand over never reached korv. */
        if (fwmd_send_cmd(s.fw, FWMD_NV, MWRX_WFMGR_NV_MODIFY_IND, b, f.wf_id) != 0) return;
        for (size_t k = i; k < i + n; k++) chaos_ledger_sent(&s.ledger, entries[k]);
        s.entries_sent += n;
        s.last_sent = entries[i + n - 1].seq;
    }
}

void drain_replies(chaos_state &s) {
    fwmd_msg m;
    for (int ch : {FWMD_WORK, FWMD_NV})
        while (fwmd_recv(s.fw, ch, &m, 0) == 0) {
        }
}

}  // namespace

int chaos_frame_start(chaos_state &s) {
    s.fw = fwmd_start(s.work_port, s.nv_port);
    if (!s.fw) return -1;
    s.work_port = fwmd_port(s.fw, FWMD_WORK);
    s.nv_port = fwmd_port(s.fw, FWMD_NV);
    s.nv_paths_for = 0;
    return 0;
}

void chaos_frame_stop(chaos_state &s) {
    if (s.fw) fwmd_stop(s.fw);
    s.fw = nullptr;
}

void chaos_frame_step(chaos_state &s, const chaos_step &st) {
    send_paths(s);
    switch (st.kind) {
    case CK_PATH_INFO:
        s.nv_paths_for = 0;
        send_paths(s);
        break;
    case CK_NV_BURST:
    case CK_PLANT_NV_LINK: /* the entries sent while the plant stands */
    case CK_PLANT_NV_FIFO:
        send_burst(s, st);
        break;
    case CK_VOLTAGE:
        send_text(s, "work MWRX_WF_CARD_POWERON_REPORT_REQ card_index=" + std::to_string(st.a) +
                         " vol_type=" + std::to_string(st.b));
        break;
    case CK_LOAD:
        send_text(s, st.a ? "nv MWRX_WFMGR_LOAD_REQ hdr.wf_id=3 u32_flag=1 u32_req_len=0 u32_read_len=0 "
                            "u32_dst_addr=0x300000 u32_file_len=4096 name=u_auth.bin"
                          : "nv MWRX_WFMGR_LOAD_REQ hdr.wf_id=5 u32_flag=1 u32_req_len=16384 u32_read_len=0 "
                            "u32_dst_addr=0x200000 u32_file_len=16384 name=l.bin");
        break;
    case CK_WFCFG:
        send_text(s, k_wfcfg);
        break;
    case CK_UTRAN_START:
    case CK_UTRAN_STOP:
        send_text(s, std::string("work MWRX_WFMGR_KORGR_WF_TYPE_IND status=") + (st.kind == CK_UTRAN_START ? "1" : "2") +
                         " type=1");
        break;
    default:
        break;
    }
    drain_replies(s);
}

void chaos_frame_wait_links(chaos_state &s, unsigned work_after, unsigned nv_after, int limit_ms, int *work_ms,
                            int *nv_ms) {
    auto t0 = chaos_clock::now();
    auto since = [&] {
        return (int)std::chrono::duration_cast<std::chrono::milliseconds>(chaos_clock::now() - t0).count();
    };
    *work_ms = fwmd_wait_connection(s.fw, FWMD_WORK, work_after, limit_ms) == 0 ? since() : -1;
    int left = limit_ms - since();
    *nv_ms = fwmd_wait_connection(s.fw, FWMD_NV, nv_after, left > 0 ? left : 0) == 0 ? since() : -1;
}

}  // namespace korvsim
