/* The simulated phone's log buffers: one file per buffer below the root
 * ($KORV_ROOT/dev/log/radio, ...), a sequence of entries, each this head
 * followed by `payload` bytes: the priority (one byte), the tag and the text,
 * each ended by a NUL.  Written by the liblog stand-in (one write(2) per
 * entry, appended), read by korv-sim logcat. */
#ifndef RADIO_LOG_H
#define RADIO_LOG_H

#include <stdint.h>

#define RADIO_LOG_DIR "/dev/log"
/* The largest payload an entry may have, logd's (LOGGER_ENTRY_MAX_PAYLOAD):
 * longer texts are cut where a phone cuts them. */
#define RADIO_LOG_PAYLOAD_MAX 4068

struct radio_log_head_st {
    uint32_t payload; /* bytes after the head */
    int32_t pid;
    int32_t tid;
    uint32_t sec; /* CLOCK_REALTIME when the entry was written */
    uint32_t nsec;
};

#endif
