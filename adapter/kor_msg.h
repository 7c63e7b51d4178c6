/* Message services of libkor_adapter.so: the SCA header and body codecs of
 * framework messages and their log renderings.  Wire format: a record holds
 * one message, little-endian, no padding: u64 len, u64 wf_id, u16 src,
 * u16 dst, u64 msg_cmd, u64 body_len, then the body (docs/wire-format.md).
 * Framing of records on the socket is record_stream's (cutils). */
#ifndef KOR_MSG_H
#define KOR_MSG_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SCA_HEADER_SIZE 36
#define KOR_RECORD_MAX 1024

typedef struct sca_header_st {
    uint64_t len;      /* header plus body, bytes */
    uint64_t wf_id;
    uint16_t src;
    uint16_t dst;
    uint64_t msg_cmd;
    uint64_t body_len;
} sca_header_st;

/* Read side.  A parcel never reads outside its record: a read past the end of
 * the body yields zeros and sets the overrun mark. */
typedef struct parcel_read_st parcel_read_st;

/* Decodes the header of a record of `length` bytes into *h without logging
 * or allocating: 0 when its len and body_len agree with length, -1 when the
 * record is too short for a header or they disagree. */
int sca_header_read(const void *record, size_t length, sca_header_st *h);
/* Returns the decoded header (and *parcel positioned at the body), or NULL
 * with *parcel NULL when the record has no valid header. */
sca_header_st *parse_sca_header(const void *record, size_t length, parcel_read_st **parcel);
uint32_t parcel_read_UINT32(parcel_read_st *p);
uint8_t parcel_read_UINT8(parcel_read_st *p);
/* Fills exactly `count` bytes (zeros past the end); 0, or -1 on overrun. */
int parcel_read_char_array(parcel_read_st *p, void *buf, size_t count);
int parcel_read_overrun(const parcel_read_st *p);      /* 1 once a read ran out */
size_t parcel_read_remaining(const parcel_read_st *p); /* body bytes not yet read */
int to_string_read_parcel(const parcel_read_st *p, char *text, size_t cap);
void free_parcel_sca_header(sca_header_st *h);
void free_parcel_read(parcel_read_st *p);

/* Write side.  The whole message is built in `data`; write_parcel fills len
 * and body_len, sends it whole and releases the parcel. */
typedef struct parcel_write_st parcel_write_st;
typedef void (*parcel_write_failed_t)(parcel_write_st *p);
struct parcel_write_st {
    int fd;                                /* socket the message goes to */
    uint32_t capacity;                     /* bytes, header included */
    uint32_t length;                       /* bytes so far, header included */
    parcel_write_failed_t on_write_failed; /* called by write_parcel on failure */
    uint8_t *data;
};

parcel_write_st *parcel_write_new(int fd, uint32_t capacity, const sca_header_st *header);
int parcel_write_UINT32(parcel_write_st *p, uint32_t value);
int parcel_write_UINT8(parcel_write_st *p, uint8_t value);
int parcel_write_char_array(parcel_write_st *p, const void *buf, size_t count);
int to_string_writ_parcel(const parcel_write_st *p, char *text, size_t cap);
/* Fills len and body_len of the message of `length` bytes (header
 * included) at data, as write_parcel does before it sends. */
void sca_header_put_lengths(uint8_t *data, size_t length);
/* Sends one framed record in one locked write (never interleaved with
 * another thread's message, no SIGPIPE); on failure calls on_write_failed
 * with the parcel before releasing it.  Returns 0 or -1. */
int write_parcel(parcel_write_st *p);

/* Renders bytes as hex text of at most cap bytes (terminator included). */
int to_string_byte_buf(const void *bytes, size_t count, char *text, size_t cap);

#ifdef __cplusplus
}
#endif
#endif
