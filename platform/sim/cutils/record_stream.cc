/* Record stream: cuts the byte stream of one descriptor into records framed
 * by a 4-byte big-endian length.  Built for non-blocking descriptors driven
 * by an event loop: each call hands out a record that is already buffered, or
 * reads once and reports EAGAIN while no whole record has arrived.
 *
 * A stream belongs to one reader; nothing in it is shared between threads.
 * Its buffer is allocated once, with the stream, and holds one frame of the
 * largest record: a record handed out stays in place until the next call. */
#include "cutils/record_stream.h"

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#define FRAME_PREFIX 4

struct RecordStream {
    int fd;
    size_t max_record_len;
    int failed_errno;       /* 0, or the error that ended the stream for good */
    uint8_t *start;         /* first byte not yet handed out */
    uint8_t *end;           /* one past the last byte read */
    uint8_t *buffer_end;
    uint8_t buffer[];       /* FRAME_PREFIX + max_record_len bytes */
};

extern "C" RecordStream *record_stream_new(int fd, size_t maxRecordLen)
{
    if (maxRecordLen > SIZE_MAX - sizeof(RecordStream) - FRAME_PREFIX) {
        errno = EINVAL;
        return NULL;
    }
    size_t cap = FRAME_PREFIX + maxRecordLen;
    RecordStream *rs = (RecordStream *)malloc(sizeof(RecordStream) + cap);
    if (rs == NULL)
        return NULL;
    rs->fd = fd;
    rs->max_record_len = maxRecordLen;
    rs->failed_errno = 0;
    rs->start = rs->buffer;
    rs->end = rs->buffer;
    rs->buffer_end = rs->buffer + cap;
    return rs;
}

extern "C" void record_stream_free(RecordStream *rs)
{
    free(rs);
}

static uint32_t frame_length(const uint8_t *p)
{
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}

/* 1 with the record when a whole one is buffered, 0 when more bytes are
 * needed, -1 (stream failed) when the frame announces an oversized record. */
static int take_buffered(RecordStream *rs, void **rec, size_t *len)
{
    size_t have = (size_t)(rs->end - rs->start);
    if (have < FRAME_PREFIX)
        return 0;
    uint32_t n = frame_length(rs->start);
    if (n > rs->max_record_len) {
        rs->failed_errno = EFBIG;
        return -1;
    }
    if (have - FRAME_PREFIX < n)
        return 0;
    *rec = rs->start + FRAME_PREFIX;
    *len = n;
    rs->start += FRAME_PREFIX + n;
    return 1;
}

/* Moves the unconsumed tail to the buffer's start so that a whole frame of
 * the largest record always fits behind it. */
static void compact(RecordStream *rs)
{
    size_t have = (size_t)(rs->end - rs->start);
    if (rs->start != rs->buffer && have > 0)
        memmove(rs->buffer, rs->start, have);
    rs->start = rs->buffer;
    rs->end = rs->buffer + have;
}

extern "C" int record_stream_get_next(RecordStream *rs, void **p_outRecord, size_t *p_outRecordLen)
{
    *p_outRecord = NULL;
    *p_outRecordLen = 0;
    if (rs->failed_errno != 0) {
        errno = rs->failed_errno;
        return -1;
    }
    int got = take_buffered(rs, p_outRecord, p_outRecordLen);
    if (got == 0) {
        compact(rs);
        ssize_t n = read(rs->fd, rs->end, (size_t)(rs->buffer_end - rs->end));
        if (n == 0)
            return 0; /* end of stream: no record */
        if (n < 0)
            return -1; /* errno from read: EAGAIN/EINTR or a real error */
        rs->end += n;
        got = take_buffered(rs, p_outRecord, p_outRecordLen);
        if (got == 0) {
            errno = EAGAIN;
            return -1;
        }
    }
    if (got < 0) {
        errno = rs->failed_errno;
        return -1;
    }
    return 0;
}
