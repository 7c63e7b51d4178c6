/* fwmd's own codec of the framework wire format.  It is written apart from
 * the adapter's codec on purpose: the two meet only on the wire, so a fault
 * in either shows up as a disagreement in the tests. */
#include <string.h>

#include "fwmd.h"

static const size_t k_header = 36;

static void put_le(std::vector<uint8_t> &v, uint64_t x, int width)
{
    for (int i = 0; i < width; i++)
        v.push_back((uint8_t)(x >> (8 * i)));
}

static uint64_t get_le(const uint8_t *p, int width)
{
    uint64_t x = 0;
    for (int i = width - 1; i >= 0; i--)
        x = (x << 8) | p[i];
    return x;
}

fwmd_body &fwmd_body::u32(uint32_t v)
{
    put_le(bytes, v, 4);
    return *this;
}

fwmd_body &fwmd_body::u8(uint8_t v)
{
    bytes.push_back(v);
    return *this;
}

fwmd_body &fwmd_body::chars(const std::string &text, size_t width)
{
    for (size_t i = 0; i < width; i++)
        bytes.push_back(i < text.size() ? (uint8_t)text[i] : 0);
    return *this;
}

fwmd_body &fwmd_body::raw(const void *data, size_t n)
{
    const uint8_t *p = (const uint8_t *)data;
    bytes.insert(bytes.end(), p, p + n);
    return *this;
}

std::vector<uint8_t> fwmd_encode(const fwmd_msg &msg)
{
    uint64_t len = k_header + msg.body.size();
    std::vector<uint8_t> out;
    out.reserve(4 + len);
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back((uint8_t)(len >> shift));
    put_le(out, len, 8);
    put_le(out, msg.wf_id, 8);
    put_le(out, msg.src, 2);
    put_le(out, msg.dst, 2);
    put_le(out, msg.msg_cmd, 8);
    put_le(out, msg.body.size(), 8);
    out.insert(out.end(), msg.body.begin(), msg.body.end());
    return out;
}

/* Lenient on purpose: len and body_len are kept as received, so that a test
 * can see whether the sender filled them in right. */
int fwmd_decode(const uint8_t *bytes, size_t n, fwmd_msg *out)
{
    if (bytes == nullptr || n < k_header)
        return -1;
    out->len = get_le(bytes, 8);
    out->wf_id = get_le(bytes + 8, 8);
    out->src = (uint16_t)get_le(bytes + 16, 2);
    out->dst = (uint16_t)get_le(bytes + 18, 2);
    out->msg_cmd = get_le(bytes + 20, 8);
    out->body_len = get_le(bytes + 28, 8);
    out->body.assign(bytes + k_header, bytes + n);
    return 0;
}

uint32_t fwmd_body_u32(const fwmd_msg &msg, size_t off)
{
    if (off > msg.body.size() || msg.body.size() - off < 4)
        return 0;
    return (uint32_t)get_le(msg.body.data() + off, 4);
}

std::string fwmd_hex(const uint8_t *b, size_t n)
{
    std::string s;
    char x[4];
    for (size_t i = 0; i < n; i++) {
        snprintf(x, sizeof x, i ? " %02x" : "%02x", b[i]);
        s += x;
    }
    return s;
}

fwmd_msg fwmd_make(uint64_t msg_cmd, const fwmd_body &body, uint64_t wf_id, uint16_t src, uint16_t dst)
{
    fwmd_msg m;
    m.msg_cmd = msg_cmd;
    m.wf_id = wf_id;
    m.src = src;
    m.dst = dst;
    m.body = body.bytes;
    return m;
}
