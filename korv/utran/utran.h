/* UTRAN image header store and walk, the UTRAN service lifecycle and the AT
 * time-out watch. */
#ifndef UTRAN_H
#define UTRAN_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define UTRAN_IMAGE_SIZE 4096
#define UTRAN_WALK_CREATE 1
#define UTRAN_WALK_DELETE 2

void load_utran_wave(const void *source, uint64_t length);
void walk_image_tags(int action);
void start_utran_service(void);
void stop_utran_service(void);
void start_at_timeout_watch(void);
void check_at_timeout(int fd, short flags, void *arg);

#ifdef __cplusplus
}
#endif
#endif
