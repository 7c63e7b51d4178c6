/* Modem device control on /dev/modem: open and reset, NVRAM cache mapping,
 * ext info, run.  Failure results are 0xFFFFFFFF. */
#ifndef AT_MODEM_H
#define AT_MODEM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The modem's control device. */
#define MODEM_DEV_PATH "/dev/modem"
/* Failure result of every operation here. */
#define AT_MODEM_FAIL 0xFFFFFFFFull

/* Exported state, written only by bring-up on its thread and read without a
 * lock afterwards, when it no longer changes. */
/* Descriptor of MODEM_DEV_PATH, -1 while not open. */
extern int fd_modem;
/* Address of the mapped NVRAM cache in this process, 0 until mapped. */
extern uint64_t g_js_ram_modem_nvram_cache_base_addr;
/* Length of the NVRAM cache: 0x100000 until the mapping reports its own. */
extern uint64_t g_js_ram_modem_nvram_cache_size;

/* Value of ext-info item `id` (3, 4, 6, 8 or 9), asked of the driver once
 * and cached; 0 or AT_MODEM_FAIL when there is none. */
uint64_t at_modem_get_ext_info(uint32_t id);
/* Maps the modem's NVRAM cache and sets the two cache globals; 0, or
 * AT_MODEM_FAIL. */
uint64_t at_modem_get_nvram_cache_base_addr(void);
/* Opens MODEM_DEV_PATH and holds the modem in reset; 0, or AT_MODEM_FAIL. */
uint64_t at_modem_open(void);
/* Sets the power-on trace-log switch and lets the modem run; 0, or
 * AT_MODEM_FAIL. */
uint64_t at_modem_start(void);

#ifdef __cplusplus
}
#endif
#endif
