/* Internals of the capture area: how its file is made.  No other area
 * includes this. */
#ifndef KRO_CAPTURE_INT_H
#define KRO_CAPTURE_INT_H

#include <stddef.h>

#include "capture/capture.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Creates NAME's capture file ("NAME.pcapng" in the capture folder, which
 * it creates when missing) as a new regular file, replacing whatever had
 * that name; no link is followed on the way.  The descriptor (write-only,
 * close-on-exec), or -1 with *why and errno set. */
int kro_capture_file_create(const char *name, size_t name_len, const char **why);

#ifdef __cplusplus
}
#endif
#endif
