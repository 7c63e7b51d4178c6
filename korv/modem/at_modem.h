/* Modem device control on /dev/modem: open and reset, NVRAM cache mapping,
 * ext info, run.  Failure results are 0xFFFFFFFF. */
#ifndef AT_MODEM_H
#define AT_MODEM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define MODEM_DEV_PATH "/dev/modem"
#define AT_MODEM_FAIL 0xFFFFFFFFull

extern int fd_modem;
extern uint64_t g_js_ram_modem_nvram_cache_base_addr;
extern uint64_t g_js_ram_modem_nvram_cache_size;
extern uint64_t g_modem_mutex_id;

uint64_t at_modem_get_ext_info(uint32_t id);
uint64_t at_modem_get_nvram_cache_base_addr(void);
uint64_t at_modem_open(void);
uint64_t at_modem_start(void);

#ifdef __cplusplus
}
#endif
#endif
