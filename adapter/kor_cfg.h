/* The configuration record: a data object of libkor_adapter.so that the
 * daemon fills from its configuration file at start.  The 504-byte layout is
 * part of the adapter's binary interface. */
#ifndef KOR_CFG_H
#define KOR_CFG_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define CFG_PATH_MAX 80
#define CFG_DEV_NAME_MAX 28

typedef struct bw_hqs_cfg_st {
    char cfg_file_path[CFG_PATH_MAX];
    int32_t log_general_info;
    int32_t log_atiext_info;
    int32_t log_aep_info;
    int32_t log_ati_info;
    int32_t log_amt_info;
    int32_t log_nvram_info;
    int32_t log_mux_info;
    int32_t log_aos_info;
    int32_t log_mdm_info;
    uint8_t pad0[4];
    int64_t log_size;
    uint8_t unused[21];
    char nvupdate_dev_name[CFG_DEV_NAME_MAX + 1];
    char amt_file[CFG_PATH_MAX + 1];
    char sysconfig_da_file[CFG_PATH_MAX + 1];
    char sysconfig_ma_file[CFG_PATH_MAX + 1];
    char user_data_file[CFG_PATH_MAX + 1];
    uint8_t pad1[2];
} bw_hqs_cfg_st;

extern bw_hqs_cfg_st g_bw_hqs_cfg;

#ifdef __cplusplus
static_assert(sizeof(bw_hqs_cfg_st) == 504, "adapter ABI");
static_assert(offsetof(bw_hqs_cfg_st, log_general_info) == 80, "adapter ABI");
static_assert(offsetof(bw_hqs_cfg_st, log_mdm_info) == 112, "adapter ABI");
static_assert(offsetof(bw_hqs_cfg_st, log_size) == 120, "adapter ABI");
static_assert(offsetof(bw_hqs_cfg_st, nvupdate_dev_name) == 149, "adapter ABI");
static_assert(offsetof(bw_hqs_cfg_st, amt_file) == 178, "adapter ABI");
static_assert(offsetof(bw_hqs_cfg_st, sysconfig_da_file) == 259, "adapter ABI");
static_assert(offsetof(bw_hqs_cfg_st, sysconfig_ma_file) == 340, "adapter ABI");
static_assert(offsetof(bw_hqs_cfg_st, user_data_file) == 421, "adapter ABI");
static_assert(offsetof(bw_hqs_cfg_st, pad1) == 502, "adapter ABI");
}
#endif
#endif
