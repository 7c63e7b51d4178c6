/* UTRAN image header store and walk, the UTRAN service lifecycle and the AT
 * time-out watch. */
#ifndef UTRAN_H
#define UTRAN_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Capacity of the image store in bytes; a longer header is cut to it. */
#define UTRAN_IMAGE_SIZE 4096
/* What a walk does with each bridge tag: create or delete its DMI channel. */
#define UTRAN_WALK_CREATE 1
#define UTRAN_WALK_DELETE 2

/* Stores a received image header (at most UTRAN_IMAGE_SIZE bytes kept) and,
 * while the service runs, walks it to create its channels.  Looper only. */
void load_utran_wave(const void *source, uint64_t length);
/* Logs every tag of the stored header and creates or deletes (action) the
 * DMI channel of each bridge tag.  The caller holds the store's lock. */
void walk_image_tags(int action);
/* Marks the service as running and creates the stored header's channels. */
void start_utran_service(void);
/* Marks the service as stopped, clears "ril.start.utran.service", pauses two
 * seconds and deletes the channels.  Also runs inside teardown. */
void stop_utran_service(void);
/* Arms the one-second AT time-out watch on the looper (bring-up). */
void start_at_timeout_watch(void);

#ifdef __cplusplus
}
#endif
#endif
