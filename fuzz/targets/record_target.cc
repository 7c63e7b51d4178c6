/* Fuzz target "record": the record stream, the header decoder and the parcel
 * reads and renderings on arbitrary bytes of a framework socket.
 *
 * Input: byte 0 is the slice length (0: all at once) in which the stream is
 * written to a socket, the stream being drained after each slice, so records
 * arrive split at every point; byte 1 is the count of the op bytes that
 * follow; the rest is the stream.  Each op reads a body field (u32, u8, or an
 * array of up to 63 bytes) or renders the parcel, and the body as raw bytes,
 * into a text of some size.
 *
 * Checked against the wire contract: the records handed out are the frames
 * of the stream, in order, and an oversized frame ends it with EFBIG once
 * the reader's buffer (a prefix and the largest record) is full of it; a
 * header is given exactly to a record whose len and body_len fit it; reads
 * give the body's bytes and zeros past its end, with the overrun mark; a
 * rendering stays inside its text; and a message written back from the
 * decoded header and body renders alike and arrives as the same record. */
#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "cutils/record_stream.h"
#include "fuzz/targets/fuzz_targets.h"
#include "kor_msg.h"

#define CHECK(cond) KORV_FUZZ_CHECK("record", cond)

#define FRAME_PREFIX 4
#define OP_KINDS 4
/* Not a multiple of 3, so the cut of a hex rendering (3 characters a
 * byte) falls at every place within a byte. */
#define RENDER_STEP 11
#define TEXT_MAX 1024

typedef std::vector<uint8_t> bytes;

/* The round trip's socket pair and the stream that reads it back; they live
 * for the process and are empty between inputs. */
static int s_rt[2];
static RecordStream *s_rt_stream;

static void record_fuzz_init(void)
{
    korv_fuzz_socketpair(s_rt);
    s_rt_stream = record_stream_new(s_rt[1], KOR_RECORD_MAX);
    if (s_rt_stream == NULL) abort();
}

static uint64_t le(const uint8_t *p, size_t width)
{
    uint64_t v = 0;
    for (size_t i = width; i > 0; i--) v = v << 8 | p[i - 1];
    return v;
}

/* The frames of a whole stream: what a reader must hand out, and whether an
 * oversized frame ends it with EFBIG.  The reader only finds out once its
 * buffer is full; an oversized frame cut shorter is a partial one, which the
 * end of the stream ends like any other. */
struct framing {
    std::vector<bytes> records;
    bool oversized = false;
};

static framing frames_of(const bytes &stream)
{
    framing f;
    size_t at = 0;
    while (stream.size() - at >= FRAME_PREFIX) {
        uint32_t n = (uint32_t)stream[at] << 24 | (uint32_t)stream[at + 1] << 16 |
                     (uint32_t)stream[at + 2] << 8 | stream[at + 3];
        if (n > KOR_RECORD_MAX) {
            f.oversized = stream.size() - at >= FRAME_PREFIX + KOR_RECORD_MAX;
            break;
        }
        if (stream.size() - at - FRAME_PREFIX < n) break;
        f.records.emplace_back(stream.begin() + (long)(at + FRAME_PREFIX),
                               stream.begin() + (long)(at + FRAME_PREFIX + n));
        at += FRAME_PREFIX + n;
    }
    return f;
}

static void check_render(int ret, const char *text, size_t cap)
{
    if (cap == 0) {
        CHECK(ret == -1);
        return;
    }
    CHECK(ret >= 0 && (size_t)ret < cap && strlen(text) == (size_t)ret);
}

/* Runs the ops on a parcel, tracking where the body reads must stand. */
static void run_ops(parcel_read_st *p, const uint8_t *body, size_t body_len, const bytes &ops)
{
    size_t pos = 0;
    bool overrun = false;
    for (uint8_t op : ops) {
        size_t arg = op / OP_KINDS;
        size_t width = op % OP_KINDS == 0 ? 4 : op % OP_KINDS == 1 ? 1 : arg;
        size_t left = body_len - pos;
        size_t avail = left < width ? left : width;
        switch (op % OP_KINDS) {
        case 0:
            CHECK(parcel_read_UINT32(p) == (left >= 4 ? (uint32_t)le(body + pos, 4) : 0));
            break;
        case 1:
            CHECK(parcel_read_UINT8(p) == (left >= 1 ? body[pos] : 0));
            break;
        case 2: {
            bytes got(width + 1, 0xAA);
            int rc = parcel_read_char_array(p, got.data(), width);
            CHECK(rc == (left >= width ? 0 : -1));
            CHECK(memcmp(got.data(), body + pos, avail) == 0);
            for (size_t i = avail; i < width; i++) CHECK(got[i] == 0);
            CHECK(got[width] == 0xAA);
            break;
        }
        default: {
            char text[TEXT_MAX];
            size_t cap = arg * RENDER_STEP;
            check_render(to_string_read_parcel(p, text, cap), text, cap);
            check_render(to_string_byte_buf(body, body_len, text, cap), text, cap);
            width = 0;
            break;
        }
        }
        if (left < width) {
            pos = body_len;
            overrun = true;
        } else {
            pos += width;
        }
        CHECK(parcel_read_remaining(p) == body_len - pos);
        CHECK((parcel_read_overrun(p) != 0) == overrun);
    }
}

/* Writes the decoded message back and reads it off the socket again. */
static void round_trip(const sca_header_st *h, const parcel_read_st *p, const uint8_t *rec,
                       size_t len)
{
    parcel_write_st *w = parcel_write_new(s_rt[0], KOR_RECORD_MAX, h);
    CHECK(w != NULL);
    CHECK(parcel_write_char_array(w, rec + SCA_HEADER_SIZE, len - SCA_HEADER_SIZE) == 0);

    char read_text[TEXT_MAX];
    char write_text[TEXT_MAX];
    int rr = to_string_read_parcel(p, read_text, sizeof read_text);
    int wr = to_string_writ_parcel(w, write_text, sizeof write_text);
    check_render(wr, write_text, sizeof write_text);
    CHECK(rr == wr && strcmp(read_text, write_text) == 0);

    CHECK(write_parcel(w) == 0);
    void *back = NULL;
    size_t back_len = 0;
    CHECK(record_stream_get_next(s_rt_stream, &back, &back_len) == 0 && back != NULL);
    CHECK(back_len == len && memcmp(back, rec, len) == 0);
}

static void check_record(const uint8_t *rec, size_t len, const bytes &ops)
{
    parcel_read_st *p = NULL;
    sca_header_st *h = parse_sca_header(rec, len, &p);
    bool valid = len >= SCA_HEADER_SIZE && le(rec, 8) == len &&
                 le(rec + 28, 8) == len - SCA_HEADER_SIZE;
    CHECK((h != NULL) == valid && (p != NULL) == valid);
    if (!valid) return;
    CHECK(h->wf_id == le(rec + 8, 8) && h->src == le(rec + 16, 2) && h->dst == le(rec + 18, 2) &&
          h->msg_cmd == le(rec + 20, 8));
    run_ops(p, rec + SCA_HEADER_SIZE, len - SCA_HEADER_SIZE, ops);
    round_trip(h, p, rec, len);
    free_parcel_sca_header(h);
    free_parcel_read(p);
}

/* Hands out what the stream holds now; false once it has ended (end of
 * stream or a stream error), which must be where the framing says. */
static bool drain(RecordStream *rs, const framing &want, size_t *next, const bytes &ops)
{
    for (;;) {
        void *rec = NULL;
        size_t len = 0;
        int rc = record_stream_get_next(rs, &rec, &len);
        if (rc < 0 && (errno == EAGAIN || errno == EINTR)) return true;
        if (rc < 0) {
            CHECK(errno == EFBIG && want.oversized && *next == want.records.size());
            return false;
        }
        if (rec == NULL) {
            CHECK(!want.oversized && *next == want.records.size());
            return false;
        }
        CHECK(*next < want.records.size());
        const bytes &w = want.records[(*next)++];
        CHECK(len == w.size() && std::equal(w.begin(), w.end(), (const uint8_t *)rec));
        check_record((const uint8_t *)rec, len, ops);
    }
}

static int record_fuzz_one(const uint8_t *data, size_t size)
{
    if (size < 2) return 0;
    size_t slice = data[0];
    size_t nops = data[1] < size - 2 ? data[1] : size - 2;
    bytes ops(data + 2, data + 2 + nops);
    bytes stream(data + 2 + nops, data + size);
    framing want = frames_of(stream);

    int sv[2];
    korv_fuzz_socketpair(sv);
    RecordStream *rs = record_stream_new(sv[1], KOR_RECORD_MAX);
    CHECK(rs != NULL);
    size_t next = 0;
    bool open = true;
    for (size_t at = 0; open && at < stream.size();) {
        size_t n = slice == 0 || stream.size() - at < slice ? stream.size() - at : slice;
        CHECK(write(sv[0], stream.data() + at, n) == (ssize_t)n);
        at += n;
        open = drain(rs, want, &next, ops);
    }
    shutdown(sv[0], SHUT_WR);
    if (open) drain(rs, want, &next, ops);
    record_stream_free(rs);
    close(sv[0]);
    close(sv[1]);
    return 0;
}

const korv_fuzz_target korv_fuzz_record = {"record", record_fuzz_init, record_fuzz_one};
