/* NVRAM manager: the store (MA/BA images, handles, mutexes, queue, writer
 * thread, path-info map), the NV-channel messages and binary loads. */
#ifndef NVRAM_H
#define NVRAM_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include "kor_msg.h"
#include "cutils/hashmap.h"

#ifdef __cplusplus
extern "C" {
#endif

#define NVRAM_MA_PATH "/data/brimwell/nvram/nvram_sysconfig_ma.bin"
#define NVRAM_BA_PATH "/data/brimwell/nvram/nvram_sysconfig_ba.bin"
#define NVRAM_WF_ID_MA 0xFFFFFFFFu
#define NVRAM_FAIL 0xFFFFFFFFu

extern FILE *fp_ma_ptr;
extern FILE *fp_ba_ptr;
extern FILE *fp_da_ptr;
extern FILE *fp_user_ptr;
extern FILE *fp_log_ptr;
extern uint64_t nv_cfg_file_size;
extern uint8_t nv_log_data_a[4];
extern void *g_nvram_buffer_ptr;
extern uint64_t g_nvram_inited;
extern Hashmap *g_wf_path_info_map;
extern uint64_t man_nvram_qid;
extern uint64_t man_nvram_tid;
extern uint64_t g_nvram_flush_mutex;
extern uint64_t g_nvram_user_data_mutex;
extern uint64_t g_nvram_amt_mutex;
extern uint64_t g_nvram_ba_mutex;
extern uint64_t g_nvram_da_mutex;

/* Waveform path record, one per wf_id in g_wf_path_info_map. */
typedef struct path_info {
    uint64_t wf_id;
    char wf_name[64];
    uint64_t status;
    char wf_path[128];
    char nv_file_name[64];
} path_info;

/* One NV modification, owned by the writer once queued. */
typedef struct NVRAM_MODIFY_IND {
    uint64_t flag;
    uint64_t wf_id;
    uint64_t offset;
    uint64_t len;
    uint8_t *data;
} NVRAM_MODIFY_IND;

/* Opens MA, BA, DA, user data and NV log and sets nv_cfg_file_size, from the
 * configuration record with fixed fall-backs (docs/nvram.md). */
void tp_nvram_open_files(void);
uint32_t tp_nvram_init(void);
uint32_t tp_nvram_delete(void);
uint32_t tp_nvram_sync_shm_data(void);
uint32_t tp_nvram_backup_param_setting(void);

void *man_nvram_entry(void *arg);

void socket_event(int fd, const void *record, size_t length);
bool dump_wf_path_info_map(void *key, void *value, void *context);
/* MWRX_WFMGR_LOAD_REQ, on the looper inside socket_event. */
void tp_nvram_load_req(int fd, const sca_header_st *header, parcel_read_st *parcel);

#ifdef __cplusplus
}
#endif
#endif
