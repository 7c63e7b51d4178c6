/* Reader of korv's traffic captures (pcapng, docs/capture.md).  The file is
 * outside input: every length is checked against what is left before it is
 * used, blocks of kinds other than section header, interface description
 * and enhanced packet are skipped, and either byte order is read.  Interfaces
 * are known by their if_name ("work", "nv"); timestamps are converted to
 * microseconds from the interface's if_tsresol (a power of ten or of two). */
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "fwmd.h"

namespace {

const uint32_t k_shb = 0x0A0D0D0Au;
const uint32_t k_idb = 1;
const uint32_t k_epb = 6;
const uint32_t k_magic = 0x1A2B3C4Du;

struct iface {
    int channel = -1;
    uint8_t tsresol = 6;
};

struct reader {
    const uint8_t *data;
    size_t size;
    bool swap = false;
    std::vector<iface> ifaces;

    uint32_t u32(size_t at) const {
        uint32_t v;
        memcpy(&v, data + at, 4);
        return swap ? __builtin_bswap32(v) : v;
    }
    uint16_t u16(size_t at) const {
        uint16_t v;
        memcpy(&v, data + at, 2);
        return swap ? __builtin_bswap16(v) : v;
    }
};

/* Options from `at` to `end`: each handed to fn(code, value, length). */
template <typename F>
int each_option(const reader &r, size_t at, size_t end, F fn, std::string *err)
{
    while (at + 4 <= end) {
        uint16_t code = r.u16(at), len = r.u16(at + 2);
        if (code == 0)
            return 0;
        size_t padded = ((size_t)len + 3) & ~(size_t)3;
        if (padded > end - at - 4) {
            *err = "option runs past its block";
            return -1;
        }
        fn(code, r.data + at + 4, len);
        at += 4 + padded;
    }
    return 0;
}

/* Timestamp units of an if_tsresol value to microseconds. */
uint64_t to_us(uint64_t ts, uint8_t tsresol)
{
    if (tsresol & 0x80) {
        unsigned shift = tsresol & 0x7F;
        if (shift >= 64)
            return 0;
        long double us = (long double)ts * 1000000.0L / (long double)(1ull << shift);
        return us < 18446744073709551615.0L ? (uint64_t)us : UINT64_MAX;
    }
    for (uint8_t p = 6; p < tsresol && p < 30; p++)
        ts /= 10;
    for (uint8_t p = tsresol; p < 6; p++)
        ts *= 10;
    return ts;
}

int read_idb(reader &r, size_t at, size_t end, std::string *err)
{
    if (end - at < 16) {
        *err = "interface block too short";
        return -1;
    }
    iface f;
    int rc = each_option(
        r, at + 16, end,
        [&](uint16_t code, const uint8_t *v, uint16_t len) {
            if (code == 2)
                f.channel = fwmd_channel_of(std::string((const char *)v, strnlen((const char *)v, len)));
            else if (code == 9 && len >= 1)
                f.tsresol = v[0];
        },
        err);
    r.ifaces.push_back(f);
    return rc;
}

int read_epb(reader &r, size_t at, size_t end, std::vector<fwmd_capture_rec> *out, std::string *err)
{
    if (end - at < 28) {
        *err = "packet block too short";
        return -1;
    }
    uint32_t id = r.u32(at + 8), caplen = r.u32(at + 20);
    if (id >= r.ifaces.size()) {
        *err = "packet of an undeclared interface";
        return -1;
    }
    size_t padded = ((size_t)caplen + 3) & ~(size_t)3;
    if (padded > end - at - 28) {
        *err = "packet data runs past its block";
        return -1;
    }
    fwmd_capture_rec rec;
    rec.channel = r.ifaces[id].channel;
    uint64_t ts = (uint64_t)r.u32(at + 12) << 32 | r.u32(at + 16);
    rec.ts_us = to_us(ts, r.ifaces[id].tsresol);
    rec.frame.assign(r.data + at + 28, r.data + at + 28 + caplen);
    int rc = each_option(
        r, at + 28 + padded, end,
        [&](uint16_t code, const uint8_t *v, uint16_t len) {
            uint32_t flags = 0;
            if (code == 2 && len == 4) {
                memcpy(&flags, v, 4);
                rec.direction = (int)((r.swap ? __builtin_bswap32(flags) : flags) & 3);
            } else if (code == 1) {
                rec.comment.assign((const char *)v, len);
            }
        },
        err);
    out->push_back(rec);
    return rc;
}

int read_shb(reader &r, size_t at, size_t end, std::string *err)
{
    if (end - at < 24) {
        *err = "section header too short";
        return -1;
    }
    uint32_t magic;
    memcpy(&magic, r.data + at + 8, 4);
    if (magic != k_magic && magic != __builtin_bswap32(k_magic)) {
        *err = "bad byte-order magic";
        return -1;
    }
    r.swap = magic != k_magic;
    r.ifaces.clear();
    return 0;
}

}  // namespace

int fwmd_pcapng_parse(const uint8_t *data, size_t size, std::vector<fwmd_capture_rec> *out, std::string *err)
{
    reader r{data, size, false, {}};
    out->clear();
    size_t at = 0;
    bool section = false;
    while (at < size) {
        if (size - at < 12) {
            *err = "truncated block";
            return -1;
        }
        uint32_t type;
        memcpy(&type, data + at, 4);
        if (type == k_shb && read_shb(r, at, size, err) != 0)
            return -1;
        if (type == k_shb)
            section = true;
        if (!section) {
            *err = "no section header";
            return -1;
        }
        uint32_t total = r.u32(at + 4);
        if (total < 12 || total % 4 != 0 || total > size - at || r.u32(at + total - 4) != total) {
            *err = "bad block length";
            return -1;
        }
        type = r.u32(at);
        int rc = 0;
        if (type == k_idb)
            rc = read_idb(r, at, at + total - 4, err);
        else if (type == k_epb)
            rc = read_epb(r, at, at + total - 4, out, err);
        if (rc != 0)
            return -1;
        at += total;
    }
    if (!section) {
        *err = "empty file";
        return -1;
    }
    return 0;
}

int fwmd_pcapng_load(const std::string &path, std::vector<fwmd_capture_rec> *out, std::string *err)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr) {
        *err = path + ": " + strerror(errno);
        return -1;
    }
    std::vector<uint8_t> bytes;
    uint8_t buf[65536];
    for (size_t n; (n = fread(buf, 1, sizeof(buf), f)) > 0;)
        bytes.insert(bytes.end(), buf, buf + n);
    fclose(f);
    if (fwmd_pcapng_parse(bytes.data(), bytes.size(), out, err) != 0) {
        *err = path + ": " + *err;
        return -1;
    }
    return 0;
}
