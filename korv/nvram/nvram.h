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

/* Fixed paths of the MA and BA images, used when no handle is open yet. */
#define NVRAM_MA_PATH "/data/brimwell/nvram/nvram_sysconfig_ma.bin"
#define NVRAM_BA_PATH "/data/brimwell/nvram/nvram_sysconfig_ba.bin"
/* wf_id of an NV modification that goes into the MA image. */
#define NVRAM_WF_ID_MA 0xFFFFFFFFu
/* Failure result of the store's operations. */
#define NVRAM_FAIL 0xFFFFFFFFu

/* The NVRAM manager's process-wide state, exported under these names and
 * defined in nvram_store.cc.  "Bring-up" means the bring-up thread, before
 * the framework links connect: no lock is needed there. */
extern FILE *fp_ma_ptr;            /* MA image; bring-up, then the writer thread alone */
extern FILE *fp_ba_ptr;            /* BA image (MA's backup); bring-up */
extern FILE *fp_da_ptr;            /* DA file; bring-up */
extern FILE *fp_user_ptr;          /* user-data file; bring-up */
extern FILE *fp_log_ptr;           /* NV log, closed after the status record; bring-up */
extern uint64_t nv_cfg_file_size;  /* size of MA (and BA); set by bring-up, read-only after */
extern uint8_t nv_log_data_a[4];   /* status record for the NV log; bring-up */
extern void *g_nvram_buffer_ptr;   /* in-memory copy of MA; bring-up */
extern uint64_t g_nvram_inited;    /* 1 while the store is initialised; bring-up */
extern Hashmap *g_wf_path_info_map; /* path_info by wf_id; made by bring-up, changed by the
                                     * looper under the map's lock, read by the writer under it */
extern uint64_t man_nvram_qid;     /* queue "NV_Q"; made by bring-up, the queue locks itself */
extern uint64_t man_nvram_tid;     /* writer thread "thread_man_nvram"; bring-up */
/* The five named mutexes: created and deleted by bring-up, taken by no
 * operation. */
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
/* Builds the store (mutexes, queue, writer thread, map, MA copy) and copies
 * MA into the modem's NVRAM cache; 0, or NVRAM_FAIL after undoing it. */
uint32_t tp_nvram_init(void);
/* Brings BA in line with MA, page by page; 0, or NVRAM_FAIL. */
uint32_t tp_nvram_backup_param_setting(void);

/* The writer thread's body: takes NV-modify records off "NV_Q" for good. */
void *man_nvram_entry(void *arg);

/* Group commit (nvram_commit.cc).  The writer thread alone calls the batch
 * and commit functions. */
/* The open batch's handle on the NV file at device path `path`, opened
 * through the confinement check at its first write in the batch and closed
 * once synced; NULL when it cannot be opened.  *kept is 0 when the batch
 * had no room for it: the caller syncs and closes it after its write. */
FILE *tp_nvram_batch_file(const char *path, int *kept);
/* Notes that MA (open on fd) was written in the open batch. */
void tp_nvram_batch_ma(int fd, const char *path);
/* Counts one record the writer handled; commits at the batch's 64th. */
void tp_nvram_commit_count(void);
/* Syncs and closes every file the open batch wrote (and tries again those
 * whose sync failed before); nothing when no record is counted. */
void tp_nvram_commit(void);
/* 1 while counted records wait for their commit. */
int tp_nvram_commit_open(void);
/* The dispatcher: n entries read and about to be queued (or, -n, refused). */
void tp_nvram_pending_add(int n);
/* fdatasync of fp's file, the failure logged with path; 0 or -1. */
int tp_nvram_sync_file(FILE *fp, const char *path);

/* Teardown's drain: begin when the stop starts, end where teardown can wait;
 * end waits until every entry read is written and synced, or until 1.5 s
 * after begin, and logs the count.  Both are async-signal-safe. */
typedef struct nvram_drain_st {
    int64_t committed;   /* entries committed when the stop began */
    int64_t deadline_ns; /* CLOCK_MONOTONIC */
} nvram_drain_st;
void tp_nvram_drain_begin(nvram_drain_st *d);
void tp_nvram_drain_end(const nvram_drain_st *d);

/* The NV channel's dispatcher, on the looper: one whole record per call. */
void socket_event(int fd, const void *record, size_t length);
/* hashmapForEach callback: logs one path-info record; always true. */
bool dump_wf_path_info_map(void *key, void *value, void *context);
/* MWRX_WFMGR_LOAD_REQ, on the looper inside socket_event. */
void tp_nvram_load_req(int fd, const sca_header_st *header, parcel_read_st *parcel);

#ifdef __cplusplus
}
#endif
#endif
