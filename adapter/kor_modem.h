/* Driver interface of /dev/modem: request numbers and the argument records
 * the driver reads or fills.  Binary layouts, little-endian; shared by the
 * daemon and the simulated driver. */
#ifndef KOR_MODEM_H
#define KOR_MODEM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define MODEM_NVRAM_CACHE_INFO 0x4D01
#define MODEM_RUN 0x4D02
#define MODEM_RESET 0x4D03
#define MODEM_EXT_INFO 0x4D04
#define DMI_CREATE 0x4D05
#define DMI_DELETE 0x4D06
#define WF_BIN_LOAD 0x4D07

#define EXT_INFO_TRACE_LOG_SWITCH 6

typedef struct modem_nvram_cache_info {
    uint64_t base;
    uint64_t size;
} modem_nvram_cache_info;

typedef struct modem_ext_info {
    uint32_t id;
    uint32_t value;
    uint32_t reserved;
} modem_ext_info;

#define DMI_NAME_SIZE 12
typedef struct dmi_channel {
    char name[DMI_NAME_SIZE];
    uint32_t type;
    uint32_t property;
    uint32_t cp2ap_addr;
    uint32_t cp2ap_size;
    uint32_t cp2ap_ind;
    uint32_t ap2cp_addr;
    uint32_t ap2cp_size;
    uint32_t ap2cp_ind;
    uint32_t cp2ap_pkt_maxnum;
    uint32_t cp2ap_pkt_maxsize;
    uint32_t ap2cp_pkt_maxnum;
    uint32_t ap2cp_pkt_maxsize;
    uint32_t cp2ap_ctl_id;
    uint32_t ap2cp_ctl_id;
} dmi_channel;

#define WF_BIN_PATH_SIZE 256
typedef struct wf_bin_load_info {
    char path[WF_BIN_PATH_SIZE];
    uint32_t dst_addr;
    uint32_t len;
} wf_bin_load_info;

#ifdef __cplusplus
static_assert(sizeof(modem_nvram_cache_info) == 16, "driver ABI");
static_assert(sizeof(modem_ext_info) == 12, "driver ABI");
static_assert(sizeof(dmi_channel) == 68, "driver ABI");
static_assert(sizeof(wf_bin_load_info) == 264, "driver ABI");
}
#endif
#endif
