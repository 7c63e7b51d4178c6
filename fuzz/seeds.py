#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

The seeds are small, meaningful inputs in each target's input format (see
the head of each fuzz/targets/*_target.cc): the wire format's three example
records, work and NV messages of every command, a UTRAN image header with
every tag kind (bridge tags included), exception-channel dump records,
configuration files and ini files.  Run it again after changing a format;
the files it writes are checked in.
"""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

# msg_cmd codes (adapter/kor_msg_cmd.h)
CARD_POWERON_REQ = 0x00050001
WFCFG_IND = 0x00000015
FW_EXCEPTION_REQ = 0xF0FF2001
WF_TYPE_IND = 0xF0FF2006
TEST_EXCPTINFO_REQ = 0xF0FF2014
PATH_INFO_IND = 0xF0FFF001
NV_MODIFY_IND = 0x00030001
LOAD_REQ = 7
LOAD_CNF = 8

TAG_END, TAG_VER, TAG_INFO, TAG_IMAGE, TAG_BRIDGE, TAG_READ, TAG_WRITE = range(0x54410000, 0x54410007)

WF_DIR = "/data/brimwell/wf_manager/waveform/"


def u32(*values):
    return b"".join(struct.pack("<I", v) for v in values)


def log_entry(prio, tag, msg, pid=1234, tid=1240, sec=1765000000, nsec=123456789):
    """One entry of a simulated log buffer (platform/sim/liblog/radio_log.h)."""
    payload = bytes([prio]) + tag.encode() + b"\0" + msg.encode() + b"\0"
    return struct.pack("<IiiII", len(payload), pid, tid, sec, nsec) + payload


def text(s, size):
    b = s.encode()
    return b + b"\0" * (size - len(b))


def message(cmd, body=b"", wf_id=0, src=0, dst=0):
    """One message: the header (len and body_len filled) and the body."""
    return struct.pack("<QQHHQQ", 36 + len(body), wf_id, src, dst, cmd, len(body)) + body


def frame(record):
    """The socket framing: 4-byte big-endian length, then the record."""
    return struct.pack(">I", len(record)) + record


def record_list(*records, raw=False):
    """The dispatcher targets' input: each record behind a u16 length."""
    out = b""
    for r in records:
        out += struct.pack("<H", len(r) | (0x8000 if raw else 0)) + r
    return out


# The wire format's three example records (a header and body each).
DESIGN_WORK = message(WF_TYPE_IND, u32(1, 1), src=1, dst=2)
DESIGN_NV_MODIFY = message(NV_MODIFY_IND, u32(1, 0, 7, 16, 4) + b"ABCD", wf_id=7)
DESIGN_LOAD_CNF = message(LOAD_CNF, u32(1, 4096, 0), wf_id=7, src=2, dst=1)


def tag(tag_id, payload=b"", label=""):
    return u32(20 + len(payload), tag_id) + text(label, 12) + payload


def bridge(name, type_, hs=()):
    payload = text(name, 12) + u32(type_, 1, 0x1000, 4096, 1, 0x2000, 4096, 2)
    if hs:
        payload += u32(*hs)
    return tag(TAG_BRIDGE, payload, "bridge")


def utran_header(end=True):
    tags = [
        tag(TAG_VER, u32(0x0102), "ver"),
        tag(TAG_INFO, u32(0x0201, 0x4000000, 0x800000, 0x100000), "info"),
        tag(TAG_IMAGE, u32(1, 0x200, 0x100000, 4096), "image"),
        bridge("utran0", 1),
        bridge("utran_hs", 3, (8, 1500, 8, 1500, 5, 6)),
        tag(TAG_READ, u32(2, 1, 0x3FF000, 64), "read"),
        tag(TAG_WRITE, u32(1, 0x3FF000, 1), "write"),
        tag(0x12345678, b"", "oddtag"),
    ]
    if end:
        tags.append(u32(8, TAG_END))
    return b"".join(tags)


def wfcfg(header):
    """An image header as the work channel carries it: its size, the header,
    and the 4 bytes the size may never claim beyond the size field itself."""
    return message(WFCFG_IND, u32(len(header)) + header + b"\0" * 4)


def path_info_add(wf_id, name, path, nv_file):
    return message(PATH_INFO_IND, u32(1, wf_id) + text(name, 64) + text(path, 128) + text(nv_file, 64))


def load_req(wf_id, flag, req_len, read_len, dst, file_len, name, field=None):
    field = field if field is not None else len(name) + 1
    body = u32(flag, req_len, read_len, dst, file_len, field) + text(name, field)
    return message(LOAD_REQ, body, wf_id=wf_id, src=1, dst=3)


def soc_record(type_, payload):
    return b"ME" + u32(type_, len(payload)) + payload


def chunks(*parts):
    return b"".join(bytes([len(p)]) + p for p in parts)


def record_stream(slice_len, ops, stream):
    return bytes([slice_len, len(ops)]) + bytes(ops) + stream


def op_u32():
    return 0


def op_u8():
    return 1


def op_array(n):
    return 2 | n << 2


def op_render(units):
    return 3 | units << 2


def fmt_case(flags, width, prec, star_w, length, conv, cap, misc, value):
    """One case of the logfmt target: the 16 bytes its head describes."""
    return bytes([flags, width, prec, star_w & 0xFF, length, conv, cap, misc]) + struct.pack("<q", value)


SEEDS = {
    "record": {
        "design-work": record_stream(0, [op_u32(), op_u32(), op_render(40)], frame(DESIGN_WORK)),
        "design-nv-modify": record_stream(5, [op_u32()] * 5 + [op_array(4), op_u32()], frame(DESIGN_NV_MODIFY)),
        "design-load-cnf": record_stream(1, [op_u32()] * 3 + [op_render(3)], frame(DESIGN_LOAD_CNF)),
        "three-records": record_stream(
            13, [op_u8(), op_array(7), op_render(50)],
            frame(DESIGN_WORK) + frame(DESIGN_NV_MODIFY) + frame(DESIGN_LOAD_CNF)),
        "oversized-after-one": record_stream(0, [], frame(DESIGN_WORK) + struct.pack(">I", 1025) + b"x" * 8),
        "no-header": record_stream(3, [op_u32()], frame(b"\x01" * 20) + frame(b"") + frame(DESIGN_WORK[:-1])),
    },
    "work": {
        "design-wf-type": record_list(DESIGN_WORK, raw=True),
        "utran-start-header-stop": record_list(
            message(WF_TYPE_IND, u32(1, 1)),
            wfcfg(utran_header()),
            message(WF_TYPE_IND, u32(2, 1))),
        "header-while-stopped": record_list(wfcfg(utran_header())),
        "header-size-too-big": record_list(message(WFCFG_IND, u32(13) + b"x" * 16)),
        "header-empty": record_list(message(WFCFG_IND, u32(0))),
        "fw-exception": record_list(message(FW_EXCEPTION_REQ)),
        "card-poweron": record_list(message(CARD_POWERON_REQ, bytes([0, 1])),
                                    message(CARD_POWERON_REQ, bytes([1]))),
        "test-excptinfo": record_list(message(TEST_EXCPTINFO_REQ)),
        "unknown-and-short": record_list(message(5, u32(1)), b"\x00" * 20),
    },
    "nv": {
        "design-nv-modify": record_list(path_info_add(7, "UTRAN", WF_DIR + "UTRAN", "nvram_utran.bin"),
                                        DESIGN_NV_MODIFY),
        "modify-ma-and-wf": record_list(
            path_info_add(3, "LTEP2P", WF_DIR + "LTEP2P", "nvram_ltep2p.bin"),
            message(NV_MODIFY_IND, u32(3, 0, 0xFFFFFFFF, 64, 4) + b"MAMA" + u32(1, 3, 8, 2) + b"lt" +
                    u32(0, 3, 0, 0))),
        "load-direct": record_list(
            path_info_add(7, "UTRAN", WF_DIR + "UTRAN/", "nvram_utran.bin"),
            load_req(7, 1, 4096, 16, 0x100800, 4096, "u.bin")),
        "load-auth": record_list(
            path_info_add(7, "UTRAN", WF_DIR + "UTRAN/", "nvram_utran.bin"),
            load_req(7, 1, 0, 0, 0x200000, 100, "u_auth.bin")),
        "load-no-ini": record_list(
            path_info_add(3, "LTEP2P", WF_DIR + "LTEP2P/", "nvram_ltep2p.bin"),
            load_req(3, 1, 16384, 0, 0x300000, 0, "l.bin")),
        "load-refused": record_list(
            load_req(9, 1, 16, 0, 0, 16, "nope.bin"),
            load_req(7, 0, 16, 0, 0, 16, "u.bin"),
            load_req(7, 1, 16, 0, 0, 16, "u.bin", field=80)),
        "path-remove": record_list(
            path_info_add(7, "UTRAN", WF_DIR + "UTRAN/", "nvram_utran.bin"),
            message(PATH_INFO_IND, u32(0, 7)),
            message(PATH_INFO_IND, u32(2, 99))),
    },
    "utran": {
        "every-tag": utran_header(),
        "no-end-marker": utran_header(end=False),
        "end-first": u32(8, TAG_END),
        "zero-size-tag": tag(TAG_VER, u32(1)) + u32(0, TAG_INFO) + b"\0" * 40,
        "runs-past-length": u32(200, TAG_IMAGE) + b"\0" * 40,
    },
    "socbridge": {
        "dump-one-read": chunks(b"xx" + soc_record(2, b"abcd")),
        "other-then-dump": chunks(soc_record(1, b"zz") + soc_record(2, b"dump"), b"more"),
        "marker-split": chunks(b"abcM", b"E" + u32(2, 4) + b"abcd"),
        "type-split": chunks(b"ME\x02\x00", b"\x00\x00" + u32(4)),
        "text-only": chunks(b"^DEXCPTINFO\0"),
    },
    "cfg": {
        "simulated-phone": (
            b"# korv configuration of the simulated phone (key = value)\n"
            b"bw.log.general.info = 1\nbw.log.size = 5242880\n"
            b"bw.nvupdate.dev.name = /dev/modem\n"
            b"bw.sysconfig.ma.file = /data/brimwell/nvram/nvram_sysconfig_ma.bin\n"
            b"bw.sysconfig.da.file = /data/brimwell/nvram/nvram_sysconfig_da.bin\n"
            b"bw.user.data.file = /data/brimwell/nvram/nvram_user_data.bin\n"),
        "odd-lines": (
            b"  bw.log.size  =  1048576  \r\r\n"
            b"bw.log.size\t= 7\n"
            b"   # bw.log.aos.info = 3\n"
            b"bw.amt.file = /a=b\n"
            b"bw.log.mdm.info = 5M\nbw.log.ati.info = abc\nbw.log.aep.info = -1\n"
            b"bw.nvupdate.dev.name = " + b"n" * 40 + b"\n"
            b"bw.amt.file = " + b"p" * 140 + b"\n"
            b"bw.amt.file = /short\n"
            b"= novalue\nnokey =\nno equals here\n"
            b"bw.log.general.info = 2"),
    },
    "ini": {
        "load-config": b"\x02" + b"# how binaries of this waveform are loaded\n"
                       b"   load_wave_type_ex = 1  # 1: ask wf_config.ini\n#load_wave_type_ex = 0\n",
        "wf-config": b"\x03" + b"; binaries the modem authenticates itself\n\n"
                     b"bin_name = u_auth.bin ; signed image\n  ; bin_name = old.bin\nbin_name\t=\tx.bin\r\n",
        "short-buffer": b"\x28" + b"load_wave_type_ex = 1 ###   \n" + b"k" * 100 + b" = 1\n   \n#\n",
    },
    # byte 0: bit 0 read-write, bit 1 the rest is below /data/brimwell/fz/
    "path": {
        "inside": b"\x03a/file",
        "links-inside": b"\x02dir/b/up",
        "link-out": b"\x03out",
        "deep-link-out": b"\x02a/b/deep_out",
        "absolute-link": b"\x03abs",
        "loop": b"\x02loop",
        "fifo": b"\x03fifo",
        "parent-link": b"\x02a/parent/parent/parent",
        "dotdot": b"\x01/data/brimwell/fz/../fz/a/file",
        "outside": b"\x00/system/secret",
        "prefix-only": b"\x00/data/brimwellfz/a/file",
    },
    "ctl": {
        "status": b"status\n",
        "log-levels": b"log level error\nlog level\nlog level flow\r\n",
        "unknown-and-usage": b"capture x\nstatus now\nlog level loud\ncapture start\n\n   \t \n",
        "capture": b"capture start fz-1\ncapture start again\nstatus\ncapture stop\ncapture stop\n"
                   b"capture start ../up\ncapture start a/b\n",
        "garbage": b"\x00\xff{\"x\x01\nlog\x7flevel\n" + b"w " * 20 + b"\n",
    },
    "logfmt": {
        "daemon-shapes": fmt_case(0, 0, 0, 0, 0, 0, 200, 6, -42) + fmt_case(2, 2, 0, 0, 0, 2, 200, 0, 7)
        + fmt_case(2, 8, 0, 0, 0, 3, 200, 4, 0xBEEF) + fmt_case(0, 201, 0, 6, 0, 4, 200, 0, 0xAB)
        + fmt_case(0, 0, 0, 0, 3, 4, 200, 0, -1) + fmt_case(0, 0, 0, 0, 4, 2, 200, 0, 1 << 40)
        + fmt_case(0, 0, 0, 0, 5, 2, 200, 0, 12) + fmt_case(0, 0, 0, 0, 0, 7, 200, 0, 0x7F00DEAD)
        + fmt_case(0, 0, 0, 0, 0, 7, 200, 0, 0) + fmt_case(0, 0, 0, 0, 0, 8, 200, 6, 0),
        "text": fmt_case(0, 0, 0xFF, 0, 0, 6, 200, 5 << 3 | 4, 0) + b"NVDATA-0123456789",
        "text-null-and-padded": fmt_case(1, 12, 0, 0, 0, 6, 200, 1, 0) + fmt_case(0, 12, 0x83, 0, 0, 6, 200, 0, 0)
        + b"waveform",
        "cut-short": fmt_case(0, 30, 0, 0, 0, 0, 5, 6, 123456789) + fmt_case(0, 0, 0, 0, 0, 0, 0, 0, 1)
        + fmt_case(0, 0, 0, 0, 0, 0, 1, 0, 1),
        "zero-and-precision": fmt_case(2, 6, 0x84, 0, 0, 0, 200, 0, -5) + fmt_case(1, 4, 0x80, 0, 0, 3, 200, 0, 0)
        + fmt_case(3, 201, 0, 0xF6, 1, 0, 200, 0, 300) + fmt_case(0, 0, 0xFF, 0, 2, 2, 200, 2 << 3, 70000),
        "other-flags": fmt_case(4, 0, 0, 0, 0, 0, 200, 0, 5) + fmt_case(16, 0, 0, 0, 0, 3, 200, 0, 255)
        + fmt_case(8, 5, 0, 0, 8, 1, 200, 0, -3) + fmt_case(0, 0, 0, 0, 0, 9, 200, 0, 8)
        + fmt_case(1, 5, 0, 0, 0, 8, 200, 0, 0),
    },
    "logcat": {
        "entries": log_entry(6, "korv", "first: error") + log_entry(3, "korv", "two\nlines")
        + log_entry(4, "a-long-tag", ""),
        "torn": log_entry(3, "korv", "whole") + log_entry(3, "korv", "torn")[:-3],
        "oversized": log_entry(3, "korv", "ok") + struct.pack("<IiiII", 5000, 1, 1, 0, 0) + b"x" * 40,
        "no-nul": log_entry(3, "korv", "ok") + struct.pack("<IiiII", 4, 1, 1, 0, 0) + b"\x03abc",
        "odd-priority": log_entry(0, "", "") + log_entry(200, "t", "\n\n"),
    },
}


def pcapng_block(kind, body, order="<"):
    total = 12 + len(body)
    return struct.pack(order + "II", kind, total) + body + struct.pack(order + "I", total)


def pcapng_option(code, value, order="<"):
    pad = b"\0" * (-len(value) % 4)
    return struct.pack(order + "HH", code, len(value)) + value + pad


def pcapng(records, order="<", tsresol=6, names=(b"work", b"nv")):
    """A capture as korv writes it: records are (interface, flags, us, frame, comment)."""
    opt = lambda code, value: pcapng_option(code, value, order)
    out = pcapng_block(0x0A0D0D0A, struct.pack(order + "IHHq", 0x1A2B3C4D, 1, 0, -1) + opt(0, b""), order)
    for name in names:
        out += pcapng_block(1, struct.pack(order + "HHI", 147, 0, 0) + opt(2, name) + opt(9, bytes([tsresol]))
                            + opt(0, b""), order)
    for iface, flags, us, data, comment in records:
        body = struct.pack(order + "IIIII", iface, us >> 32, us & 0xFFFFFFFF, len(data), len(data))
        body += data + b"\0" * (-len(data) % 4) + opt(2, struct.pack(order + "I", flags))
        if comment:
            body += opt(1, comment)
        out += pcapng_block(6, body + opt(0, b""), order)
    return out


CAPTURED = [
    (0, 1, 1700000000000000, frame(message(CARD_POWERON_REQ, b"\x01\x03", src=1, dst=2)), b""),
    (0, 2, 1700000000000300, frame(message(0x00050002)), b""),
    (1, 1, 1700000000001000, frame(load_req(8, 1, 1000, 16000, 0x201000, 0, "l.bin")), b""),
    (1, 2, 1700000000002000, frame(message(LOAD_CNF, u32(1, 384, 0), 8, 2, 1)), b""),
    (0, 1, 1700000000003000, b"\0\0\0\x0c0123456789ab", b"dropped: short record"),
    (0, 1, 1700000000004000, b"", b"dropped: length above 1024"),
]

SEEDS["pcapng"] = {
    "session": pcapng(CAPTURED),
    "big-endian": pcapng(CAPTURED, order=">"),
    "nanoseconds": pcapng(CAPTURED, tsresol=9),
    "binary-resolution": pcapng(CAPTURED[:2], tsresol=0x94),
    "other-interface": pcapng(CAPTURED[:2], names=(b"eth0", b"nv")),
    "truncated": pcapng(CAPTURED)[:-7],
    "undeclared-interface": pcapng([(5, 1, 0, b"\0\0\0\0", b"")]),
    "no-header": pcapng(CAPTURED)[28:],
}


def main():
    for target, seeds in SEEDS.items():
        out_dir = os.path.join(HERE, "corpus", target)
        os.makedirs(out_dir, exist_ok=True)
        for name, data in seeds.items():
            with open(os.path.join(out_dir, name), "wb") as f:
                f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
