/* Message services of the adapter: the SCA header and body codecs of framework
 * messages, their log renderings, and the framed, whole-message send.
 *
 * Shared state: s_write_lock serialises every write_parcel of the process, so
 * the frames of messages that several threads send on one socket never
 * interleave.  It is held for the full send, which is bounded by
 * MSG_SEND_WAIT_MS of waiting for the peer; teardown never sends, so the
 * signal handler never waits for it.  Parcels themselves belong to one thread
 * at a time and take no lock. */
#include "kor_msg.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>

#include "kor_os.h"

#define FRAME_PREFIX 4
#define MSG_SEND_WAIT_MS 5000

/* Header field offsets inside a record (little-endian, no padding). */
#define OFF_LEN 0
#define OFF_WF_ID 8
#define OFF_SRC 16
#define OFF_DST 18
#define OFF_CMD 20
#define OFF_BODY_LEN 28

/* A read parcel owns a copy of the body, so it never depends on the lifetime
 * of the record it was parsed from; a record is at most KOR_RECORD_MAX bytes,
 * so the copy is cheap and lives in the parcel's one allocation. */
struct parcel_read_st {
    sca_header_st header;
    size_t body_len;
    size_t pos;
    int overrun;
    uint8_t body[];
};

/* The bytes of a write parcel are preceded by room for the frame length, so
 * that the record goes out in one contiguous send. */
typedef struct parcel_write_buf_st {
    parcel_write_st pub;
    uint8_t frame[]; /* FRAME_PREFIX + capacity bytes; pub.data = frame + 4 */
} parcel_write_buf_st;

static pthread_mutex_t s_write_lock = PTHREAD_MUTEX_INITIALIZER; /* see top */

static uint64_t get_le(const uint8_t *p, size_t width)
{
    uint64_t v = 0;
    for (size_t i = width; i > 0; i--)
        v = (v << 8) | p[i - 1];
    return v;
}

static void put_le(uint8_t *p, uint64_t v, size_t width)
{
    for (size_t i = 0; i < width; i++, v >>= 8)
        p[i] = (uint8_t)v;
}

/* ---- read side ---- */

extern "C" int sca_header_read(const void *record, size_t length, sca_header_st *h)
{
    const uint8_t *r = (const uint8_t *)record;
    if (r == NULL || length < SCA_HEADER_SIZE)
        return -1;
    h->len = get_le(r + OFF_LEN, 8);
    h->wf_id = get_le(r + OFF_WF_ID, 8);
    h->src = (uint16_t)get_le(r + OFF_SRC, 2);
    h->dst = (uint16_t)get_le(r + OFF_DST, 2);
    h->msg_cmd = get_le(r + OFF_CMD, 8);
    h->body_len = get_le(r + OFF_BODY_LEN, 8);
    return h->len == length && h->body_len == length - SCA_HEADER_SIZE ? 0 : -1;
}

extern "C" sca_header_st *parse_sca_header(const void *record, size_t length,
                                           parcel_read_st **parcel)
{
    const uint8_t *r = (const uint8_t *)record;
    sca_header_st h;
    sca_header_st *out = NULL;
    parcel_read_st *p = NULL;

    *parcel = NULL;
    if (r == NULL || length < SCA_HEADER_SIZE) {
        tp_os_str_printf(KOR_MOD_CORE, KOR_LVL_ERROR,
                         "[AOS][MSG]: parse_sca_header: record of %zu bytes has no header\n", length);
        return NULL;
    }
    if (sca_header_read(record, length, &h) != 0) {
        tp_os_str_printf(KOR_MOD_CORE, KOR_LVL_ERROR,
                         "[AOS][MSG]: parse_sca_header: bad header len:%llu body_len:%llu in a record "
                         "of %zu bytes, dropped\n",
                         (unsigned long long)h.len, (unsigned long long)h.body_len, length);
        return NULL;
    }
    out = (sca_header_st *)malloc(sizeof(*out));
    p = (parcel_read_st *)malloc(sizeof(*p) + h.body_len);
    if (out == NULL || p == NULL)
        goto fail_alloc;
    *out = h;
    p->header = h;
    p->body_len = h.body_len;
    p->pos = 0;
    p->overrun = 0;
    memcpy(p->body, r + SCA_HEADER_SIZE, h.body_len);
    *parcel = p;
    return out;

fail_alloc:
    tp_os_str_printf(KOR_MOD_CORE, KOR_LVL_ERROR,
                     "[AOS][MSG]: parse_sca_header: out of memory for a record of %zu bytes\n", length);
    free(out);
    free(p);
    return NULL;
}

/* Hands out the next `count` body bytes, or NULL (position at the end,
 * overrun marked) when fewer remain; *avail tells how many did remain. */
static const uint8_t *take(parcel_read_st *p, size_t count, size_t *avail)
{
    size_t left = p->body_len - p->pos;
    const uint8_t *at = p->body + p->pos;
    *avail = left < count ? left : count;
    if (left < count) {
        p->pos = p->body_len;
        p->overrun = 1;
        return NULL;
    }
    p->pos += count;
    return at;
}

/* A scalar that does not fit whole reads as 0: half a number means nothing. */
extern "C" uint32_t parcel_read_UINT32(parcel_read_st *p)
{
    size_t avail;
    const uint8_t *at = p ? take(p, 4, &avail) : NULL;
    return at ? (uint32_t)get_le(at, 4) : 0;
}

extern "C" uint8_t parcel_read_UINT8(parcel_read_st *p)
{
    size_t avail;
    const uint8_t *at = p ? take(p, 1, &avail) : NULL;
    return at ? at[0] : 0;
}

/* An array that runs out keeps the bytes that were there (text is still
 * useful cut short) and is zero-filled behind them. */
extern "C" int parcel_read_char_array(parcel_read_st *p, void *buf, size_t count)
{
    if (count == 0)
        return 0;
    if (buf == NULL)
        return -1;
    if (p == NULL) {
        memset(buf, 0, count);
        return -1;
    }
    const uint8_t *from = p->body + p->pos;
    size_t avail;
    const uint8_t *at = take(p, count, &avail);
    memcpy(buf, from, avail);
    memset((uint8_t *)buf + avail, 0, count - avail);
    return at ? 0 : -1;
}

extern "C" int parcel_read_overrun(const parcel_read_st *p)
{
    return p ? p->overrun : 1;
}

extern "C" size_t parcel_read_remaining(const parcel_read_st *p)
{
    return p ? p->body_len - p->pos : 0;
}

extern "C" void free_parcel_sca_header(sca_header_st *h)
{
    free(h);
}

extern "C" void free_parcel_read(parcel_read_st *p)
{
    free(p);
}

/* ---- renderings ---- */

/* Appends to a text that is always terminated and never longer than cap. */
typedef struct text_st {
    char *s;
    size_t cap;
    size_t used;
    int cut;
} text_st;

static void text_add(text_st *t, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
static void text_add(text_st *t, const char *fmt, ...)
{
    if (t->cut)
        return;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(t->s + t->used, t->cap - t->used, fmt, ap);
    va_end(ap);
    if (n < 0) {
        t->s[t->used] = '\0';
        t->cut = 1;
        return;
    }
    if ((size_t)n >= t->cap - t->used) {
        t->used = t->cap - 1; /* vsnprintf kept what fits */
        t->cut = 1;
        return;
    }
    t->used += (size_t)n;
}

/* Hex bytes separated by blanks.  When they do not all fit, as many whole
 * bytes as leave room for a closing "..." are shown ("41 42 ..."). */
static void text_add_hex(text_st *t, const uint8_t *b, size_t count)
{
    static const char digits[] = "0123456789abcdef";
    if (t->cut || count == 0)
        return;
    size_t room = t->cap - t->used - 1; /* characters left before the NUL */
    size_t shown = count;
    if (3 * count - 1 > room) {
        shown = room >= 3 ? (room - 3) / 3 : 0;
        t->cut = 1;
    }
    for (size_t i = 0; i < shown; i++) {
        t->s[t->used++] = digits[b[i] >> 4];
        t->s[t->used++] = digits[b[i] & 15];
        if (i + 1 < count)
            t->s[t->used++] = ' ';
    }
    if (shown < count && room >= 3) {
        memcpy(t->s + t->used, "...", 3);
        t->used += 3;
    }
    t->s[t->used] = '\0';
}

static int render_message(const sca_header_st *h, const uint8_t *body, size_t body_len,
                          char *text, size_t cap)
{
    if (text == NULL || cap == 0)
        return -1;
    text_st t = {text, cap, 0, 0};
    text[0] = '\0';
    text_add(&t, "[len:%llu, wf_id:%llu, src:%u, dst:%u, msg_cmd:0x%llX, body_len:%llu] body:",
             (unsigned long long)h->len, (unsigned long long)h->wf_id, (unsigned)h->src,
             (unsigned)h->dst, (unsigned long long)h->msg_cmd, (unsigned long long)h->body_len);
    if (body_len > 0)
        text_add(&t, " ");
    text_add_hex(&t, body, body_len);
    return (int)t.used;
}

extern "C" int to_string_read_parcel(const parcel_read_st *p, char *text, size_t cap)
{
    if (p == NULL) {
        if (text == NULL || cap == 0)
            return -1;
        snprintf(text, cap, "(no message)");
        return (int)strlen(text);
    }
    return render_message(&p->header, p->body, p->body_len, text, cap);
}

extern "C" int to_string_byte_buf(const void *bytes, size_t count, char *text, size_t cap)
{
    if (text == NULL || cap == 0)
        return -1;
    text_st t = {text, cap, 0, 0};
    text[0] = '\0';
    if (bytes != NULL)
        text_add_hex(&t, (const uint8_t *)bytes, count);
    return (int)t.used;
}

/* ---- write side ---- */

static parcel_write_buf_st *write_buf_of(parcel_write_st *p)
{
    return (parcel_write_buf_st *)((char *)p - offsetof(parcel_write_buf_st, pub));
}

extern "C" parcel_write_st *parcel_write_new(int fd, uint32_t capacity, const sca_header_st *header)
{
    if (header == NULL || capacity < SCA_HEADER_SIZE || capacity > KOR_RECORD_MAX) {
        tp_os_str_printf(KOR_MOD_CORE, KOR_LVL_ERROR,
                         "[AOS][MSG]: parcel_write_new: capacity %u outside %d..%d or no header\n",
                         capacity, SCA_HEADER_SIZE, KOR_RECORD_MAX);
        return NULL;
    }
    parcel_write_buf_st *b =
        (parcel_write_buf_st *)calloc(1, sizeof(*b) + FRAME_PREFIX + capacity);
    if (b == NULL) {
        tp_os_str_printf(KOR_MOD_CORE, KOR_LVL_ERROR,
                         "[AOS][MSG]: parcel_write_new: out of memory for %u bytes\n", capacity);
        return NULL;
    }
    parcel_write_st *p = &b->pub;
    p->fd = fd;
    p->capacity = capacity;
    p->length = SCA_HEADER_SIZE;
    p->on_write_failed = NULL;
    p->data = b->frame + FRAME_PREFIX;
    /* len and body_len stay 0 until write_parcel knows them */
    put_le(p->data + OFF_WF_ID, header->wf_id, 8);
    put_le(p->data + OFF_SRC, header->src, 2);
    put_le(p->data + OFF_DST, header->dst, 2);
    put_le(p->data + OFF_CMD, header->msg_cmd, 8);
    return p;
}

/* Room for n more bytes, or -1 with one log line (the field is not added). */
static int reserve(parcel_write_st *p, size_t n)
{
    if (p == NULL)
        return -1;
    if (n > p->capacity - p->length) {
        tp_os_str_printf(KOR_MOD_CORE, KOR_LVL_ERROR,
                         "[AOS][MSG]: parcel write of %zu bytes exceeds capacity %u (length %u)\n", n,
                         p->capacity, p->length);
        return -1;
    }
    return 0;
}

extern "C" int parcel_write_UINT32(parcel_write_st *p, uint32_t value)
{
    if (reserve(p, 4) != 0)
        return -1;
    put_le(p->data + p->length, value, 4);
    p->length += 4;
    return 0;
}

extern "C" int parcel_write_UINT8(parcel_write_st *p, uint8_t value)
{
    if (reserve(p, 1) != 0)
        return -1;
    p->data[p->length++] = value;
    return 0;
}

extern "C" int parcel_write_char_array(parcel_write_st *p, const void *buf, size_t count)
{
    if (reserve(p, count) != 0 || (buf == NULL && count > 0))
        return -1;
    if (count > 0)
        memcpy(p->data + p->length, buf, count);
    p->length += (uint32_t)count;
    return 0;
}

/* The header as it will be sent: len and body_len follow the current length. */
static void header_of_write(const parcel_write_st *p, sca_header_st *h)
{
    h->len = p->length;
    h->wf_id = get_le(p->data + OFF_WF_ID, 8);
    h->src = (uint16_t)get_le(p->data + OFF_SRC, 2);
    h->dst = (uint16_t)get_le(p->data + OFF_DST, 2);
    h->msg_cmd = get_le(p->data + OFF_CMD, 8);
    h->body_len = p->length - SCA_HEADER_SIZE;
}

extern "C" int to_string_writ_parcel(const parcel_write_st *p, char *text, size_t cap)
{
    if (p == NULL) {
        if (text == NULL || cap == 0)
            return -1;
        snprintf(text, cap, "(no message)");
        return (int)strlen(text);
    }
    sca_header_st h;
    header_of_write(p, &h);
    return render_message(&h, p->data + SCA_HEADER_SIZE, h.body_len, text, cap);
}

static int64_t now_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

/* Sends all n bytes.  Each send is non-blocking whatever the socket's mode;
 * while the peer's window is full we wait for POLLOUT, at most
 * MSG_SEND_WAIT_MS in all.  0, or -1 with errno. */
static int send_all(int fd, const uint8_t *b, size_t n)
{
    int64_t deadline = now_ms() + MSG_SEND_WAIT_MS;
    while (n > 0) {
        ssize_t w = send(fd, b, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w > 0) {
            b += w;
            n -= (size_t)w;
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            return -1;
        int64_t left = deadline - now_ms();
        if (left <= 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        struct pollfd pfd = {fd, POLLOUT, 0};
        if (poll(&pfd, 1, (int)left) < 0 && errno != EINTR)
            return -1;
    }
    return 0;
}

extern "C" void sca_header_put_lengths(uint8_t *data, size_t length)
{
    put_le(data + OFF_LEN, length, 8);
    put_le(data + OFF_BODY_LEN, length - SCA_HEADER_SIZE, 8);
}

extern "C" int write_parcel(parcel_write_st *p)
{
    if (p == NULL)
        return -1;
    parcel_write_buf_st *b = write_buf_of(p);
    int rc;

    sca_header_put_lengths(p->data, p->length);
    b->frame[0] = (uint8_t)(p->length >> 24);
    b->frame[1] = (uint8_t)(p->length >> 16);
    b->frame[2] = (uint8_t)(p->length >> 8);
    b->frame[3] = (uint8_t)p->length;

    pthread_mutex_lock(&s_write_lock);
    rc = send_all(p->fd, b->frame, FRAME_PREFIX + p->length);
    int err = errno;
    pthread_mutex_unlock(&s_write_lock);

    if (rc != 0) {
        tp_os_str_printf(KOR_MOD_CORE, KOR_LVL_ERROR,
                         "[AOS][MSG]: write_parcel fd:%d, len:%u failed, errno:%d\n", p->fd,
                         p->length, err);
        if (p->on_write_failed != NULL) {
            errno = err;
            p->on_write_failed(p);
        }
    }
    free(b);
    return rc;
}
