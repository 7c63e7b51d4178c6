/* Traffic capture of the two framework links into a pcapng file
 * ("/data/brimwell/korv/capture/NAME.pcapng"), started and stopped over the
 * control socket.  The links call kro_capture_record only after
 * kro_capture_running() said yes: with no capture running a record costs one
 * relaxed atomic load. */
#ifndef KRO_CAPTURE_H
#define KRO_CAPTURE_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>

#ifdef __cplusplus
extern "C" {
#endif

#define KRO_CAPTURE_DIR "/data/brimwell/korv/capture"
#define KRO_CAPTURE_NAME_MAX 64
/* A capture stops itself before its file grows past this. */
#define KRO_CAPTURE_LIMIT (64ull << 20)

/* Directions, as pcapng's epb_flags hold them. */
#define KRO_CAPTURE_IN 1  /* framework to korv */
#define KRO_CAPTURE_OUT 2 /* korv to framework */

/* 1 while a capture takes records; set by the control thread, read by every
 * thread that moves a record. */
extern std::atomic<int> g_capture_on;

static inline int kro_capture_running(void)
{
    return g_capture_on.load(std::memory_order_relaxed);
}

/* One record of `link` (KRO_CTL_LINK_*) as it travelled, without its length
 * prefix (the capture adds it); dropped: NULL, or why korv dropped it.  Never
 * blocks for long and allocates nothing: a record that finds the writer
 * behind is counted as lost. */
void kro_capture_record(int link, int direction, const void *record, size_t length, const char *dropped);
/* An outbound message as it will travel: copies the parcel's record
 * (length bytes, at most KOR_RECORD_MAX) into out with the two length fields
 * the message library fills when it sends. */
void kro_capture_sent_copy(const uint8_t *data, size_t length, uint8_t *out);
/* Why a dispatcher will drop this inbound record for its header, or NULL. */
const char *kro_capture_drop_reason(const void *record, size_t length);

/* Control thread only; neither waits for the disk longer than half a
 * second.  Starts a capture into NAME's file, always a new regular file
 * (capture_file.cc); 0, or -1 with *why set.  The device path goes to path
 * (cap bytes). */
int kro_capture_start(const char *name, size_t name_len, char *path, size_t cap, const char **why);
/* Ends the running (or self-stopped) capture; 0 with the device path in
 * path, or -1 when there was none.  why gets "" when the file is complete,
 * else why it is not and how many bytes reached it. */
int kro_capture_stop(char *path, size_t cap, char *why, size_t why_cap);

typedef struct kro_capture_stat_st {
    char file[128]; /* device path; "" when no capture runs */
    uint64_t records;  /* taken into the capture */
    uint64_t bytes;    /* that reached the file */
    uint64_t lost;     /* records the writer had no room for */
    int limit_reached; /* the capture stopped itself at KRO_CAPTURE_LIMIT */
    char failed[96];   /* why the file is incomplete; "" when it is not */
} kro_capture_stat_st;

/* The running or last capture. */
void kro_capture_stat(kro_capture_stat_st *stat);

#ifdef __cplusplus
}
#endif
#endif
