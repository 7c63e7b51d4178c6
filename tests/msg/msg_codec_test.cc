/* The adapter's message codec and fwmd's codec against the three reference
 * records of the wire format, and against each other. */
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "fwmd.h"
#include "kor_msg.h"
#include "kor_msg_cmd.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes from_hex(const char *hex)
{
    bytes b;
    std::string err;
    EXPECT_EQ(fwmd_parse_bytes(std::string("hex:") + hex, &b, &err), 0) << err;
    return b;
}

struct reference {
    const char *what;
    sca_header_st header;
    std::function<void(parcel_write_st *)> write_body;
    fwmd_body body;
    const char *framed;
};

std::vector<reference> references()
{
    return {
        {"work: WF_TYPE_IND status 1 type 1",
         {0, 0, 1, 2, MWRX_WFMGR_KORGR_WF_TYPE_IND, 0},
         [](parcel_write_st *p) {
             parcel_write_UINT32(p, 1);
             parcel_write_UINT32(p, 1);
         },
         fwmd_body().u32(1).u32(1),
         "00 00 00 2c 2c 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01 00 02 00 06 20 ff f0 00 00 00 00"
         "08 00 00 00 00 00 00 00 01 00 00 00 01 00 00 00"},
        {"nv: NV_MODIFY_IND one entry ABCD",
         {0, 7, 0, 0, MWRX_WFMGR_NV_MODIFY_IND, 0},
         [](parcel_write_st *p) {
             for (uint32_t v : {1u, 0u, 7u, 16u, 4u})
                 parcel_write_UINT32(p, v);
             parcel_write_char_array(p, "ABCD", 4);
         },
         fwmd_body().u32(1).u32(0).u32(7).u32(16).u32(4).raw("ABCD", 4),
         "00 00 00 3c 3c 00 00 00 00 00 00 00 07 00 00 00 00 00 00 00 00 00 00 00 01 00 03 00 00 00 00 00"
         "18 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 07 00 00 00 10 00 00 00 04 00 00 00 41 42 43 44"},
        {"nv: LOAD_CNF flag 1 count 4096",
         {0, 7, 2, 1, MWRX_WFMGR_LOAD_CNF, 0},
         [](parcel_write_st *p) {
             for (uint32_t v : {1u, 4096u, 0u})
                 parcel_write_UINT32(p, v);
         },
         fwmd_body().u32(1).u32(4096).u32(0),
         "00 00 00 30 30 00 00 00 00 00 00 00 07 00 00 00 00 00 00 00 02 00 01 00 08 00 00 00 00 00 00 00"
         "0c 00 00 00 00 00 00 00 01 00 00 00 00 10 00 00 00 00 00 00"},
    };
}

/* Everything the other end of a socketpair received. */
bytes drain(int fd)
{
    bytes got;
    uint8_t buf[2048];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0)
        got.insert(got.end(), buf, buf + n);
    return got;
}

/* The framed record write_parcel sends, captured on a socketpair. */
bytes adapter_encode(const sca_header_st &h, const std::function<void(parcel_write_st *)> &write_body)
{
    int sv[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    parcel_write_st *p = parcel_write_new(sv[0], 320, &h);
    EXPECT_NE(p, nullptr);
    write_body(p);
    EXPECT_EQ(write_parcel(p), 0);
    bytes got = drain(sv[1]);
    close(sv[0]);
    close(sv[1]);
    return got;
}

TEST(MsgCodec, BothSidesEncodeTheReferenceRecordsByteForByte)
{
    for (const reference &r : references()) {
        bytes want = from_hex(r.framed);
        EXPECT_EQ(adapter_encode(r.header, r.write_body), want) << r.what;
        fwmd_msg m;
        m.wf_id = r.header.wf_id;
        m.src = r.header.src;
        m.dst = r.header.dst;
        m.msg_cmd = r.header.msg_cmd;
        m.body = r.body.bytes;
        EXPECT_EQ(fwmd_encode(m), want) << r.what;
    }
}

TEST(MsgCodec, BothSidesDecodeTheReferenceRecords)
{
    for (const reference &r : references()) {
        bytes framed = from_hex(r.framed);
        bytes rec(framed.begin() + 4, framed.end()); /* exact size: ASan guards both ends */
        parcel_read_st *p = nullptr;
        sca_header_st *h = parse_sca_header(rec.data(), rec.size(), &p);
        ASSERT_NE(h, nullptr) << r.what;
        EXPECT_EQ(h->len, rec.size());
        EXPECT_EQ(h->wf_id, r.header.wf_id);
        EXPECT_EQ(h->src, r.header.src);
        EXPECT_EQ(h->dst, r.header.dst);
        EXPECT_EQ(h->msg_cmd, r.header.msg_cmd);
        EXPECT_EQ(h->body_len, rec.size() - SCA_HEADER_SIZE);
        bytes body(h->body_len);
        EXPECT_EQ(parcel_read_char_array(p, body.data(), body.size()), 0);
        EXPECT_EQ(body, r.body.bytes) << r.what;
        EXPECT_EQ(parcel_read_overrun(p), 0);
        free_parcel_sca_header(h);
        free_parcel_read(p);

        fwmd_msg m;
        ASSERT_EQ(fwmd_decode(rec.data(), rec.size(), &m), 0);
        EXPECT_EQ(m.len, rec.size());
        EXPECT_EQ(m.body_len, rec.size() - SCA_HEADER_SIZE);
        EXPECT_EQ(m.msg_cmd, r.header.msg_cmd);
        EXPECT_EQ(m.body, r.body.bytes);
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
    bytes rec(framed.begin() + 4, framed.end());
    parcel_read_st *p = nullptr;
    sca_header_st *h = parse_sca_header(rec.data(), rec.size(), &p);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->wf_id, 0xFFFFFFFFull);
    EXPECT_EQ(h->src, 0xFFFF);
    EXPECT_EQ(h->msg_cmd, 0x12345678u);
    EXPECT_EQ(h->body_len, 12u + 2 + sizeof text);
    EXPECT_EQ(parcel_read_UINT32(p), 0u);
    EXPECT_EQ(parcel_read_UINT32(p), 0xFFFFFFFFu);
    EXPECT_EQ(parcel_read_UINT32(p), 0x12345678u);
    EXPECT_EQ(parcel_read_UINT8(p), 0);
    EXPECT_EQ(parcel_read_UINT8(p), 255);
    char back[sizeof text];
    EXPECT_EQ(parcel_read_char_array(p, back, sizeof back), 0);
    EXPECT_EQ(memcmp(back, text, sizeof text), 0);
    EXPECT_EQ(parcel_read_remaining(p), 0u);
    EXPECT_EQ(parcel_read_overrun(p), 0);
    free_parcel_sca_header(h);
    free_parcel_read(p);
}

/* A record of exactly `body.size()` body bytes on the heap, so that ASan
 * reports any read outside it. */
struct heap_record {
    bytes rec;
    explicit heap_record(const bytes &body)
    {
        fwmd_msg m;
        m.msg_cmd = 5;
        m.body = body;
        bytes framed = fwmd_encode(m);
        rec.assign(framed.begin() + 4, framed.end());
        rec.shrink_to_fit();
    }
};

TEST(MsgCodec, ReadsPastTheBodyGiveZerosAndMarkOverrun)
{
    heap_record r({0x11, 0x22, 0x33});
    parcel_read_st *p = nullptr;
    sca_header_st *h = parse_sca_header(r.rec.data(), r.rec.size(), &p);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(parcel_read_UINT8(p), 0x11);
    EXPECT_EQ(parcel_read_overrun(p), 0);
    EXPECT_EQ(parcel_read_UINT32(p), 0u) << "a number cut short reads as 0";
    EXPECT_EQ(parcel_read_overrun(p), 1);
    EXPECT_EQ(parcel_read_UINT8(p), 0);
    char buf[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(parcel_read_char_array(p, buf, sizeof buf), -1);
    EXPECT_EQ(bytes(buf, buf + 4), bytes(4, 0));
    free_parcel_sca_header(h);
    free_parcel_read(p);

    /* an array that runs out keeps what there was */
    heap_record t({'A', 'B'});
    h = parse_sca_header(t.rec.data(), t.rec.size(), &p);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(parcel_read_char_array(p, buf, sizeof buf), -1);
    EXPECT_EQ(bytes(buf, buf + 4), bytes({'A', 'B', 0, 0}));
    free_parcel_sca_header(h);
    free_parcel_read(p);
}

TEST(MsgCodec, RecordsWithoutAValidHeaderAreRefused)
{
    heap_record good({1, 2, 3, 4});
    parcel_read_st *p = reinterpret_cast<parcel_read_st *>(1);
    auto refused = [&](const bytes &rec, size_t length) {
        sca_header_st *h = parse_sca_header(rec.data(), length, &p);
        bool no = h == nullptr && p == nullptr;
        free_parcel_sca_header(h);
        free_parcel_read(p);
        return no;
    };
    EXPECT_FALSE(refused(good.rec, good.rec.size()));
    EXPECT_TRUE(refused(good.rec, 35)) << "shorter than a header";
    EXPECT_TRUE(refused(good.rec, good.rec.size() - 1)) << "len is not the record's length";
    bytes bad_len = good.rec;
    bad_len[0]++;
    EXPECT_TRUE(refused(bad_len, bad_len.size()));
    bytes bad_body = good.rec;
    bad_body[28]--;
    EXPECT_TRUE(refused(bad_body, bad_body.size())) << "body_len is not len - 36";
    EXPECT_EQ(parse_sca_header(nullptr, 40, &p), nullptr);

    heap_record empty({});
    sca_header_st *h = parse_sca_header(empty.rec.data(), empty.rec.size(), &p);
    ASSERT_NE(h, nullptr) << "a bare header is a message with an empty body";
    EXPECT_EQ(parcel_read_UINT32(p), 0u);
    EXPECT_EQ(parcel_read_overrun(p), 1);
    free_parcel_sca_header(h);
    free_parcel_read(p);
}

TEST(MsgCodec, RenderingsNameTheFieldsAndStayWithinTheirCap)
{
    bytes framed = from_hex(references()[0].framed);
    bytes rec(framed.begin() + 4, framed.end());
    parcel_read_st *p = nullptr;
    sca_header_st *h = parse_sca_header(rec.data(), rec.size(), &p);
    ASSERT_NE(h, nullptr);
    char text[640];
    int n = to_string_read_parcel(p, text, sizeof text);
    EXPECT_EQ(n, (int)strlen(text));
    EXPECT_STREQ(text, "[len:44, wf_id:0, src:1, dst:2, msg_cmd:0xF0FF2006, body_len:8] body: "
                       "01 00 00 00 01 00 00 00");
    char small[24];
    memset(small, '#', sizeof small);
    n = to_string_read_parcel(p, small, sizeof small);
    EXPECT_EQ(n, (int)sizeof small - 1);
    EXPECT_STREQ(small, "[len:44, wf_id:0, src:1");
    free_parcel_sca_header(h);
    free_parcel_read(p);

    uint8_t raw[200];
    for (size_t i = 0; i < sizeof raw; i++)
        raw[i] = (uint8_t)i;
    char line[32];
    n = to_string_byte_buf(raw, sizeof raw, line, sizeof line);
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
