/* Internals of the control socket's area: the counters' snapshot, the answer
 * buffer, the JSON writer and the request dispatch.  No other area includes
 * this. */
#ifndef KRO_CTL_INT_H
#define KRO_CTL_INT_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#include "ctl/ctl.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A request line is at most this long, its newline included. */
#define KRO_CTL_LINE_MAX 4096
/* Channels the list keeps; a driver-side limit far above what one image
 * header can describe. */
#define KRO_CTL_CHANNELS_MAX 64
#define KRO_CTL_CHANNEL_NAME 12

/* A link's counters, in the order the status answer lists them. */
enum {
    KRO_CTL_CONNECTS,
    KRO_CTL_REFUSED,
    KRO_CTL_RECORDS_IN,
    KRO_CTL_RECORDS_OUT,
    KRO_CTL_BYTES_IN,
    KRO_CTL_BYTES_OUT,
    KRO_CTL_BAD_RECORDS,
    KRO_CTL_LINK_COUNTERS
};

typedef struct kro_ctl_link_st {
    int port;
    int connected;
    int64_t peer_uid; /* -1: not known */
    uint64_t count[KRO_CTL_LINK_COUNTERS];
} kro_ctl_link_st;

/* One consistent-enough copy of every counter: each value is read once;
 * counters bumped meanwhile may show their new or old value. */
typedef struct kro_ctl_snapshot_st {
    kro_ctl_link_st links[KRO_CTL_LINKS];
    uint64_t nv_queued, nv_written, nv_dropped, nv_bytes_written, nv_synced;
    uint64_t nv_write_failed, nv_unknown_cmds;
    int modem_state;
    uint64_t cache_base, cache_size;
    int utran_started;
    int channel_count;
    char channels[KRO_CTL_CHANNELS_MAX][KRO_CTL_CHANNEL_NAME + 1];
    int exception_state;
    uint64_t exception_count;
    int exception_last_type; /* -1: none yet */
    uint64_t uptime_ms;      /* since the process started */
} kro_ctl_snapshot_st;

void kro_ctl_stat_read(kro_ctl_snapshot_st *snap);

/* A growing answer.  After an allocation failure it keeps what it had and
 * sets `failed`; later appends do nothing. */
typedef struct kro_ctl_buf_st {
    char *data;
    size_t len;
    size_t cap;
    int failed;
} kro_ctl_buf_st;

void kro_ctl_buf_printf(kro_ctl_buf_st *buf, const char *format, ...) __attribute__((format(printf, 2, 3)));
/* Appends text (at most max bytes, up to a NUL) as a JSON string: quotes,
 * backslash and control bytes escaped, bytes above 0x7F as \u00XX (Latin-1),
 * so the answer is valid JSON whatever the framework sent. */
void kro_ctl_buf_json_str(kro_ctl_buf_st *buf, const char *text, size_t max);
void kro_ctl_buf_free(kro_ctl_buf_st *buf);

/* The status object, without a newline. */
void kro_ctl_status(kro_ctl_buf_st *out);

/* A request split into words (blanks between them). */
#define KRO_CTL_WORDS_MAX 8
typedef struct kro_ctl_request_st {
    int count;
    const char *word[KRO_CTL_WORDS_MAX];
    size_t word_len[KRO_CTL_WORDS_MAX];
} kro_ctl_request_st;

/* Splits one line (without its newline; a trailing CR is dropped).  -1 when
 * it holds a byte outside printable ASCII or more words than a request has. */
int kro_ctl_request_parse(const char *line, size_t len, kro_ctl_request_st *req);
/* Answers one request line with one JSON object and a newline. */
void kro_ctl_answer(const char *line, size_t len, kro_ctl_buf_st *out);

#ifdef __cplusplus
}
#endif
#endif
