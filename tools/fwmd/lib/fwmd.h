/* fwmd: the framework service stand-in as a library.  It listens on the work
 * and NV ports of 127.0.0.1, accepts korv's connections, sends messages and
 * waits for messages with a time-out.  Thread-safe; a background thread
 * accepts and reads. */
#ifndef FWMD_H
#define FWMD_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

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

/* A message with the given header fields and body. */
fwmd_msg fwmd_make(uint64_t msg_cmd, const fwmd_body &body, uint64_t wf_id = 0, uint16_t src = 1,
                   uint16_t dst = 2);

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
/* Bytes as space-separated lowercase hex ("0a 0b"). */
std::string fwmd_hex(const uint8_t *b, size_t n);
/* Reads the u32 at byte offset off of the body (0 past the end). */
uint32_t fwmd_body_u32(const fwmd_msg &msg, size_t off);

/* ---- connection history, transcript, message text ---- */

/* Connections accepted on the channel so far (a reconnect raises it). */
unsigned fwmd_connection_count(fwmd_server *s, int channel);
/* Waits until a connection later than the first `after` ones is open on the
 * channel; 0 or -1 on time-out. */
int fwmd_wait_connection(fwmd_server *s, int channel, unsigned after, int timeout_ms);
/* Every connection event and every message both ways is printed as one
 * decoded line on `trace` (NULL: none).  Returns the previous sink. */
FILE *fwmd_set_trace(fwmd_server *s, FILE *trace);

/* "work" / "nv" and back; -1 or NULL for anything else. */
int fwmd_channel_of(const std::string &name);
const char *fwmd_channel_name(int channel);
/* Splits a line into words: blanks separate, double quotes group (\" and
 * \\ inside), '#' at the start of a word ends the line; 0 or -1 with *err. */
int fwmd_tokenize(const std::string &line, std::vector<std::string> *words, std::string *err);
/* Numbers: decimal, 0x hex, or negative (two's complement) within max. */
int fwmd_parse_number(const std::string &text, uint64_t max, uint64_t *out);
/* A byte value: "hex:0a0b", "u8:N", "u16:N", "u32:N", "u64:N" (little-endian),
 * "file:PATH" (a host file's bytes), else text with \xHH, \n, \0, \\ escapes.
 * 0 or -1 with *err. */
int fwmd_parse_bytes(const std::string &text, std::vector<uint8_t> *out, std::string *err);
/* A message in text: words "CHANNEL COMMAND [key=value ...]" (docs/fwmd.md).
 * 0 or -1 with *err. */
int fwmd_parse_message(const std::vector<std::string> &words, int *channel, fwmd_msg *msg,
                       std::string *err);
int fwmd_parse_message_line(const std::string &line, int *channel, fwmd_msg *msg,
                            std::string *err);

/* One body field decoded by its command's schema; group members are named
 * "entry[0].flag".  width is the fixed size of a char[] field, else 0. */
struct fwmd_field {
    std::string name;
    bool is_bytes = false;
    uint64_t num = 0;
    std::vector<uint8_t> bytes;
    size_t width = 0;
};
/* Decodes the body of msg into fields (header fields are not included).
 * Returns 0; -1 when the body ended inside the schema (the fields before are
 * given).  *extra (may be NULL) gets the bytes behind the schema. */
int fwmd_decode_fields(const fwmd_msg &msg, std::vector<fwmd_field> *out,
                       std::vector<uint8_t> *extra);
/* Compares one field of a received message with a wanted value in message
 * text syntax ("count=4096", "hdr.wf_id=7", "entry[0].data=ABCD").  Returns
 * 1 when it matches, 0 when not, -1 for an unknown key; *seen gets the value
 * found, as text. */
int fwmd_check_field(const fwmd_msg &msg, const std::string &key, const std::string &want,
                     std::string *seen);
/* Known command codes, for listings: name, code, channel, direction, schema. */
struct fwmd_cmd_info {
    uint32_t code;
    const char *name;
    int channel;       /* FWMD_WORK or FWMD_NV */
    bool to_korv;      /* framework to daemon */
    const char *body;  /* body schema, docs/fwmd.md */
};
const fwmd_cmd_info *fwmd_cmd_table(size_t *count);
const fwmd_cmd_info *fwmd_cmd_find(uint64_t msg_cmd);
/* The Wireshark dissector of korv's captures (tools/wireshark/korv.lua),
 * generated from the message catalogue. */
void fwmd_print_lua(FILE *out);
/* A field's value as fwmd_format shows it. */
std::string fwmd_render_field(const fwmd_field &f);

/* ---- korv's traffic captures (pcapng, docs/capture.md) ---- */

/* One captured record. */
struct fwmd_capture_rec {
    int channel = -1;   /* FWMD_WORK / FWMD_NV by the interface's name; -1 other */
    int direction = 0;  /* 1: framework to korv, 2: korv to framework, 0: not said */
    uint64_t ts_us = 0; /* microseconds since the epoch */
    std::vector<uint8_t> frame; /* as it travelled: 4-byte length, the record */
    std::string comment;        /* opt_comment, e.g. "dropped: bad header" */
};
/* Reads a capture; 0, or -1 with *err (records before the fault are in out). */
int fwmd_pcapng_parse(const uint8_t *data, size_t size, std::vector<fwmd_capture_rec> *out, std::string *err);
int fwmd_pcapng_load(const std::string &path, std::vector<fwmd_capture_rec> *out, std::string *err);
/* One record as a line: seconds since first_us, link, "in"/"out", then the
 * message in fwmd_format's rendering (or the bytes), and the comment. */
std::string fwmd_capture_line(const fwmd_capture_rec &r, uint64_t first_us);

struct fwmd_replay_options {
    bool asap = false;     /* inbound records back to back, not at their captured spacing */
    int reply_ms = 5000;   /* a captured reply that takes longer is a difference */
    int settle_ms = 500;   /* after the last record: how long korv may still send */
    FILE *out = stdout;    /* the differences, one per line */
};
/* Plays the inbound records of a capture to korv, connected on both links,
 * and compares what korv sends with the captured outbound records, link by
 * link in order.  Returns the number of differences (each printed). */
int fwmd_replay(fwmd_server *s, const std::vector<fwmd_capture_rec> &recs, const fwmd_replay_options &o);

#endif
