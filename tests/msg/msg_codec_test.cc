/* The adapter's message codec and fwmd's codec against the three reference
 * records of the wire format, and against each other. */
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "fwmd.h"
#include "kor_msg.h"
#include "kor_msg_cmd.h"

namespace {

using bytes = std::vector<uint8_t>;

/* A reference record: its header, a body of u32 words then text, and the
 * framed bytes of the wire format. */
struct reference {
    const char *what;
    sca_header_st header;
    std::vector<uint32_t> words;
    std::string text;
    const char *framed;
};

const std::vector<reference> k_refs = {
    {"work: WF_TYPE_IND status 1 type 1", {0, 0, 1, 2, MWRX_WFMGR_KORGR_WF_TYPE_IND, 0}, {1, 1}, "",
     "00 00 00 2c 2c 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01 00 02 00 06 20 ff f0 00 00 00 00"
     "08 00 00 00 00 00 00 00 01 00 00 00 01 00 00 00"},
    {"nv: NV_MODIFY_IND one entry ABCD", {0, 7, 0, 0, MWRX_WFMGR_NV_MODIFY_IND, 0}, {1, 0, 7, 16, 4}, "ABCD",
     "00 00 00 3c 3c 00 00 00 00 00 00 00 07 00 00 00 00 00 00 00 00 00 00 00 01 00 03 00 00 00 00 00"
     "18 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 07 00 00 00 10 00 00 00 04 00 00 00 41 42 43 44"},
    {"nv: LOAD_CNF flag 1 count 4096", {0, 7, 2, 1, MWRX_WFMGR_LOAD_CNF, 0}, {1, 4096, 0}, "",
     "00 00 00 30 30 00 00 00 00 00 00 00 07 00 00 00 00 00 00 00 02 00 01 00 08 00 00 00 00 00 00 00"
     "0c 00 00 00 00 00 00 00 01 00 00 00 00 10 00 00 00 00 00 00"},
};

bytes from_hex(const char *hex)
{
    bytes b;
    std::string err;
    EXPECT_EQ(fwmd_parse_bytes(std::string("hex:") + hex, &b, &err), 0) << err;
    return b;
}

/* The record without its frame prefix, of exact size: ASan guards both ends. */
bytes unframed(const bytes &framed) { return bytes(framed.begin() + 4, framed.end()); }

/* The framed record write_parcel sends, captured on a socketpair. */
bytes adapter_encode(const sca_header_st &h, const std::function<void(parcel_write_st *)> &write_body)
{
    int sv[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    parcel_write_st *p = parcel_write_new(sv[0], 320, &h);
    EXPECT_NE(p, nullptr);
    write_body(p);
    EXPECT_EQ(write_parcel(p), 0);
    bytes got;
    uint8_t buf[2048];
    for (ssize_t n; (n = recv(sv[1], buf, sizeof buf, MSG_DONTWAIT)) > 0;)
        got.insert(got.end(), buf, buf + n);
    close(sv[0]);
    close(sv[1]);
    return got;
}

/* A record parsed by the adapter, released with it.  p starts as a bad
 * pointer: a refusal must set it to NULL. */
struct parsed {
    parcel_read_st *p = reinterpret_cast<parcel_read_st *>(1);
    sca_header_st *h;
    parsed(const void *rec, size_t len) : h(parse_sca_header(rec, len, &p)) {}
    explicit parsed(const bytes &rec) : parsed(rec.data(), rec.size()) {}
    ~parsed()
    {
        free_parcel_sca_header(h);
        free_parcel_read(p);
    }
};

/* A record of exactly `body.size()` body bytes on the heap, so that ASan
 * reports any read outside it. */
bytes heap_record(const bytes &body)
{
    fwmd_msg m;
    m.msg_cmd = 5;
    m.body = body;
    return unframed(fwmd_encode(m));
}

TEST(MsgCodec, BothSidesEncodeAndDecodeTheReferenceRecordsByteForByte)
{
    for (const reference &r : k_refs) {
        SCOPED_TRACE(r.what);
        const bytes framed = from_hex(r.framed), rec = unframed(framed);
        EXPECT_EQ(adapter_encode(r.header,
                                 [&](parcel_write_st *p) {
                                     for (uint32_t w : r.words)
                                         parcel_write_UINT32(p, w);
                                     if (!r.text.empty())
                                         parcel_write_char_array(p, r.text.data(), r.text.size());
                                 }),
                  framed);
        fwmd_msg m;
        m.wf_id = r.header.wf_id;
        m.src = r.header.src;
        m.dst = r.header.dst;
        m.msg_cmd = r.header.msg_cmd;
        fwmd_body b;
        for (uint32_t w : r.words)
            b.u32(w);
        m.body = b.raw(r.text.data(), r.text.size()).bytes;
        EXPECT_EQ(fwmd_encode(m), framed);

        const auto want = std::make_tuple((uint64_t)rec.size(), r.header.wf_id, r.header.src, r.header.dst,
                                          r.header.msg_cmd, (uint64_t)(rec.size() - SCA_HEADER_SIZE));
        parsed a(rec);
        ASSERT_NE(a.h, nullptr);
        EXPECT_EQ(std::make_tuple(a.h->len, a.h->wf_id, a.h->src, a.h->dst, a.h->msg_cmd, a.h->body_len), want);
        bytes body(a.h->body_len);
        EXPECT_EQ(parcel_read_char_array(a.p, body.data(), body.size()), 0);
        EXPECT_EQ(body, m.body);
        EXPECT_EQ(parcel_read_overrun(a.p), 0);
        fwmd_msg d;
        ASSERT_EQ(fwmd_decode(rec.data(), rec.size(), &d), 0);
        EXPECT_EQ(std::make_tuple(d.len, d.wf_id, d.src, d.dst, d.msg_cmd, d.body_len), want);
        EXPECT_EQ(d.body, m.body);
    }
}

TEST(MsgCodec, EveryFieldTypeRoundTrips)
{
    const char text[6] = {'a', 0, 'b', '\xff', 0, 'z'};
    bytes framed = adapter_encode({0, 0xFFFFFFFFull, 0xFFFF, 0, 0x12345678u, 0}, [&](parcel_write_st *w) {
        for (uint32_t v : {0u, 0xFFFFFFFFu, 0x12345678u})
            EXPECT_EQ(parcel_write_UINT32(w, v), 0);
        EXPECT_EQ(parcel_write_UINT8(w, 0), 0);
        EXPECT_EQ(parcel_write_UINT8(w, 255), 0);
        EXPECT_EQ(parcel_write_char_array(w, text, sizeof text), 0);
    });
    const bytes rec = unframed(framed);
    parsed r(rec);
    ASSERT_NE(r.h, nullptr);
    EXPECT_EQ(std::make_tuple(r.h->wf_id, r.h->src, r.h->msg_cmd, r.h->body_len),
              std::make_tuple(0xFFFFFFFFull, (uint16_t)0xFFFF, (uint64_t)0x12345678u, (uint64_t)(14 + sizeof text)));
    for (uint32_t v : {0u, 0xFFFFFFFFu, 0x12345678u})
        EXPECT_EQ(parcel_read_UINT32(r.p), v);
    EXPECT_EQ(parcel_read_UINT8(r.p), 0);
    EXPECT_EQ(parcel_read_UINT8(r.p), 255);
    char back[sizeof text];
    EXPECT_EQ(parcel_read_char_array(r.p, back, sizeof back), 0);
    EXPECT_EQ(memcmp(back, text, sizeof text), 0);
    EXPECT_EQ(parcel_read_remaining(r.p), 0u);
    EXPECT_EQ(parcel_read_overrun(r.p), 0);
}

TEST(MsgCodec, ReadsPastTheBodyGiveZerosAndMarkOverrun)
{
    const bytes rec = heap_record({0x11, 0x22, 0x33});
    parsed r(rec);
    ASSERT_NE(r.h, nullptr);
    EXPECT_EQ(parcel_read_UINT8(r.p), 0x11);
    EXPECT_EQ(parcel_read_overrun(r.p), 0);
    EXPECT_EQ(parcel_read_UINT32(r.p), 0u) << "a number cut short reads as 0";
    EXPECT_EQ(parcel_read_overrun(r.p), 1);
    EXPECT_EQ(parcel_read_UINT8(r.p), 0);
    char buf[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(parcel_read_char_array(r.p, buf, sizeof buf), -1);
    EXPECT_EQ(bytes(buf, buf + 4), bytes(4, 0));

    /* an array that runs out keeps what there was */
    const bytes two = heap_record({'A', 'B'});
    parsed t(two);
    ASSERT_NE(t.h, nullptr);
    EXPECT_EQ(parcel_read_char_array(t.p, buf, sizeof buf), -1);
    EXPECT_EQ(bytes(buf, buf + 4), bytes({'A', 'B', 0, 0}));
}

TEST(MsgCodec, RecordsWithoutAValidHeaderAreRefused)
{
    const bytes good = heap_record({1, 2, 3, 4});
    auto refused = [](const bytes &rec, size_t length) {
        parsed r(rec.data(), length);
        return r.h == nullptr && r.p == nullptr;
    };
    EXPECT_FALSE(refused(good, good.size()));
    EXPECT_TRUE(refused(good, 35)) << "shorter than a header";
    EXPECT_TRUE(refused(good, good.size() - 1)) << "len is not the record's length";
    bytes bad_len = good, bad_body = good;
    bad_len[0]++;
    EXPECT_TRUE(refused(bad_len, bad_len.size()));
    bad_body[28]--;
    EXPECT_TRUE(refused(bad_body, bad_body.size())) << "body_len is not len - 36";
    EXPECT_EQ(parsed(nullptr, 40).h, nullptr);

    const bytes empty = heap_record({});
    parsed r(empty);
    ASSERT_NE(r.h, nullptr) << "a bare header is a message with an empty body";
    EXPECT_EQ(parcel_read_UINT32(r.p), 0u);
    EXPECT_EQ(parcel_read_overrun(r.p), 1);
}

TEST(MsgCodec, RenderingsNameTheFieldsAndStayWithinTheirCap)
{
    const bytes rec = unframed(from_hex(k_refs[0].framed));
    parsed r(rec);
    ASSERT_NE(r.h, nullptr);
    char text[640], small[24];
    int n = to_string_read_parcel(r.p, text, sizeof text);
    EXPECT_EQ(n, (int)strlen(text));
    EXPECT_STREQ(text, "[len:44, wf_id:0, src:1, dst:2, msg_cmd:0xF0FF2006, body_len:8] body: "
                       "01 00 00 00 01 00 00 00");
    memset(small, '#', sizeof small);
    EXPECT_EQ(to_string_read_parcel(r.p, small, sizeof small), (int)sizeof small - 1);
    EXPECT_STREQ(small, "[len:44, wf_id:0, src:1");

    uint8_t raw[200];
    for (size_t i = 0; i < sizeof raw; i++)
        raw[i] = (uint8_t)i;
    char line[32];
    to_string_byte_buf(raw, sizeof raw, line, sizeof line);
    EXPECT_STREQ(line, "00 01 02 03 04 05 06 07 08 ...");
    EXPECT_EQ(to_string_byte_buf("ME", 2, line, sizeof line), 5);
    EXPECT_STREQ(line, "4d 45");
    EXPECT_EQ(to_string_byte_buf(raw, 4, line, 0), -1);

    sca_header_st hdr = {0, 7, 2, 1, MWRX_WFMGR_LOAD_CNF, 0};
    parcel_write_st *w = parcel_write_new(-1, 100, &hdr);
    parcel_write_UINT32(w, 1);
    to_string_writ_parcel(w, text, sizeof text);
    EXPECT_STREQ(text, "[len:40, wf_id:7, src:2, dst:1, msg_cmd:0x8, body_len:4] body: 01 00 00 00");
    write_parcel(w); /* fd -1: fails, releases the parcel */
}

TEST(MsgCodec, WriteParcelKeepsToItsCapacity)
{
    sca_header_st hdr = {};
    EXPECT_EQ(parcel_write_new(-1, SCA_HEADER_SIZE - 1, &hdr), nullptr);
    EXPECT_EQ(parcel_write_new(-1, KOR_RECORD_MAX + 1, &hdr), nullptr);
    parcel_write_st *w = parcel_write_new(-1, SCA_HEADER_SIZE + 5, &hdr);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(parcel_write_UINT32(w, 1), 0);
    EXPECT_EQ(parcel_write_UINT32(w, 2), -1);
    EXPECT_EQ(parcel_write_char_array(w, "ab", 2), -1);
    EXPECT_EQ(parcel_write_UINT8(w, 3), 0);
    EXPECT_EQ(w->length, SCA_HEADER_SIZE + 5u);
    EXPECT_EQ(parcel_write_UINT8(w, 4), -1);
    write_parcel(w);
}

}  // namespace
