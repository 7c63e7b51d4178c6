/* fwmd: the framework service stand-in as a library.  It listens on the work
 * and NV ports of 127.0.0.1, accepts korv's connections, sends messages and
 * waits for messages with a time-out.  Thread-safe; a background thread
 * accepts and reads. */
#ifndef FWMD_H
#define FWMD_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#define FWMD_WORK 0
#define FWMD_NV 1

/* One decoded message (header fields and the raw body). */
struct fwmd_msg {
    uint64_t wf_id = 0;
    uint16_t src = 0;
    uint16_t dst = 0;
    uint64_t msg_cmd = 0;
    std::vector<uint8_t> body;
    /* Set on decode: the record's len and body_len fields as received. */
    uint64_t len = 0;
    uint64_t body_len = 0;
};

/* Body builder: appends little-endian fields in order. */
struct fwmd_body {
    std::vector<uint8_t> bytes;
    fwmd_body &u32(uint32_t v);
    fwmd_body &u8(uint8_t v);
    fwmd_body &chars(const std::string &text, size_t width); /* zero-padded/cut to width */
    fwmd_body &raw(const void *data, size_t n);
};

struct fwmd_server;

/* Listens on both ports (0 picks a free port); NULL on failure. */
fwmd_server *fwmd_start(int work_port, int nv_port);
void fwmd_stop(fwmd_server *s);
int fwmd_port(fwmd_server *s, int channel);
/* Waits until korv is connected on the channel (a new connection after a
 * close counts); 0 or -1 on time-out. */
int fwmd_wait_connected(fwmd_server *s, int channel, int timeout_ms);
int fwmd_connected(fwmd_server *s, int channel);
/* Sends one framed message (len and body_len filled in); 0 or -1. */
int fwmd_send(fwmd_server *s, int channel, const fwmd_msg &msg);
int fwmd_send_cmd(fwmd_server *s, int channel, uint64_t msg_cmd, const fwmd_body &body,
                  uint64_t wf_id = 0, uint16_t src = 1, uint16_t dst = 2);
/* Sends raw bytes as they are (no framing added). */
int fwmd_send_raw(fwmd_server *s, int channel, const void *bytes, size_t n);
/* Takes the oldest received message of the channel, waiting up to
 * timeout_ms; 0 or -1. */
int fwmd_recv(fwmd_server *s, int channel, fwmd_msg *out, int timeout_ms);
/* Like fwmd_recv, but only for msg_cmd (other messages stay queued). */
int fwmd_expect(fwmd_server *s, int channel, uint64_t msg_cmd, fwmd_msg *out, int timeout_ms);
/* Closes korv's connection on the channel (korv sees end of stream). */
void fwmd_close_channel(fwmd_server *s, int channel);

/* Codec: a framed record (4-byte big-endian length, then the message). */
std::vector<uint8_t> fwmd_encode(const fwmd_msg &msg);
/* Decodes a message (without the 4-byte frame length); 0 or -1. */
int fwmd_decode(const uint8_t *bytes, size_t n, fwmd_msg *out);
/* Name of a command code ("MWRX_WFMGR_LOAD_CNF"), or NULL. */
const char *fwmd_cmd_name(uint64_t msg_cmd);
/* One readable line: command name, header fields, body fields decoded. */
std::string fwmd_format(const fwmd_msg &msg);
/* Reads the u32 at byte offset off of the body (0 past the end). */
uint32_t fwmd_body_u32(const fwmd_msg &msg, size_t off);

#endif
