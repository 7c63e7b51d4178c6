/* Android libcutils record stream: cuts a byte stream into length-prefixed
 * records (4-byte big-endian length, then the record). */
#ifndef CUTILS_RECORD_STREAM_H
#define CUTILS_RECORD_STREAM_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct RecordStream RecordStream;

RecordStream *record_stream_new(int fd, size_t maxRecordLen);
void record_stream_free(RecordStream *rs);
/* 0 with a record: the next whole record, valid until the next call.
 * 0 with *p_outRecord NULL: end of stream.  -1 with errno: EAGAIN/EINTR when
 * no whole record is buffered yet; any other errno is a stream error (a record
 * longer than maxRecordLen gives EFBIG). */
int record_stream_get_next(RecordStream *rs, void **p_outRecord, size_t *p_outRecordLen);

#ifdef __cplusplus
}
#endif
#endif
