/* NVRAM store: the process-wide state of the NVRAM manager, its bring-up
 * (mutexes, queue "NV_Q", writer thread, path-info map, in-memory MA copy,
 * modem cache sync), its teardown, and the MA -> BA backup.
 *
 * Ownership (each object's owner is also written beside its declaration in
 * nvram.h): everything here is created and released on the bring-up thread
 * before the framework links connect, so init and teardown take no lock.
 * After init the writer thread is the only user of fp_ma_ptr; the path-info
 * map is guarded by its own lock (see nv_socket.cc). */
#include <string.h>

#include "kor_os.h"
#include "modem/at_modem.h"
#include "nvram/nvram_int.h"

#define NVRAM_PAGE 4096
#define NVRAM_WRITER_PRI_INDEX 44
#define NVRAM_WRITER_STACK_HINT 4096
#define NVRAM_MAP_CAPACITY 10
#define NVRAM_QUEUE_MSG_SIZE 8
#define NVRAM_QUEUE_DEPTH 1000

FILE *fp_ma_ptr = NULL;
FILE *fp_ba_ptr = NULL;
FILE *fp_da_ptr = NULL;
FILE *fp_user_ptr = NULL;
FILE *fp_log_ptr = NULL;
uint64_t nv_cfg_file_size = 0;
uint8_t nv_log_data_a[4] = {0, 0, 0, 0};
void *g_nvram_buffer_ptr = NULL;
uint64_t g_nvram_inited = 0;
Hashmap *g_wf_path_info_map = NULL;
uint64_t man_nvram_qid = KOR_OS_FAIL;
uint64_t man_nvram_tid = KOR_OS_FAIL;
uint64_t g_nvram_flush_mutex = KOR_OS_FAIL;
uint64_t g_nvram_user_data_mutex = KOR_OS_FAIL;
uint64_t g_nvram_amt_mutex = KOR_OS_FAIL;
uint64_t g_nvram_ba_mutex = KOR_OS_FAIL;
uint64_t g_nvram_da_mutex = KOR_OS_FAIL;

/* The named mutexes in creation (and deletion) order.  Only the flush
 * mutex is tested in all 64 bits and leaves a status record on failure; the
 * other four are tested in 32 bits and leave none. */
typedef struct nvram_mutex_def_st {
    const char *name;
    uint64_t *id;
    const char *fail_text;
    int flush;
} nvram_mutex_def_st;

static const nvram_mutex_def_st s_mutex_defs[] = {
    {"nvram_flush_mutex", &g_nvram_flush_mutex, "[NV][FLOW]: Mutex create error!\n", 1},
    {"nvram_user_data_mutex", &g_nvram_user_data_mutex,
     "[NV][FLOW]: Mutex nvram_user_data_mutex create error!\n", 0},
    {"nvram_amt_mutex", &g_nvram_amt_mutex, "[NV][FLOW]: Mutex nvram_amt_mutex create error!\n", 0},
    {"nvram_ba_mutex", &g_nvram_ba_mutex, "[NV][FLOW]: Mutex nvram_ba_mutex create error!\n", 0},
    {"nvram_da_mutex", &g_nvram_da_mutex, "[NV][FLOW]: Mutex nvram_da_mutex create error!\n", 0},
};
#define NVRAM_MUTEX_COUNT (sizeof s_mutex_defs / sizeof s_mutex_defs[0])

/* The path-info map's keys point at a record's (or a caller's) 64-bit wf_id
 * and only its low 32 bits count: they are the hash, and two keys are equal
 * when they agree.  The platform's libcutils has no integer hash of its own
 * to lend (current ones dropped hashmapIntHash/Equals). */
static int nvram_wf_id_hash(void *key)
{
    return (int)(uint32_t)nvram_wf_key(*(const uint64_t *)key);
}

static bool nvram_wf_id_equals(void *key_a, void *key_b)
{
    return nvram_wf_key(*(const uint64_t *)key_a) == nvram_wf_key(*(const uint64_t *)key_b);
}

static uint32_t tp_nvram_delete(void);
static uint32_t tp_nvram_sync_shm_data(void);

/* Writes the status record at the NV log's current position, then closes
 * the log. */
static void nvram_write_status(uint8_t failed)
{
    nv_log_data_a[0] = failed;
    if (fp_log_ptr == NULL)
        return;
    tp_fwrite(nv_log_data_a, 1, sizeof nv_log_data_a, fp_log_ptr);
    tp_fclose(fp_log_ptr);
    fp_log_ptr = NULL;
}

/* A failure after the cache was mapped: log, undo, and leave the status
 * record when the failed object calls for one. */
static uint32_t nvram_init_fail(const char *text, int with_status)
{
    LOG_NV_FLOW("%s", text);
    tp_nvram_delete();
    if (with_status)
        nvram_write_status(1);
    return NVRAM_FAIL;
}

/* Creates the mutexes, queue, writer thread, map and MA copy in order; the
 * first failure ends init. */
static uint32_t nvram_create_objects(void)
{
    for (size_t i = 0; i < NVRAM_MUTEX_COUNT; i++) {
        const nvram_mutex_def_st *d = &s_mutex_defs[i];
        *d->id = tp_os_mutex_create(d->name, 1);
        if (nvram_id_failed(*d->id, d->flush))
            return nvram_init_fail(d->fail_text, d->flush);
    }
    man_nvram_qid = tp_os_queue_create("NV_Q", NVRAM_QUEUE_MSG_SIZE, NVRAM_QUEUE_DEPTH);
    if (nvram_id_failed(man_nvram_qid, 1))
        return nvram_init_fail("[NV][FLOW]: Queue create error!\n", 1);
    man_nvram_tid = tp_os_thread_create("thread_man_nvram", man_nvram_entry,
                                        g_pf_task_pri_tbl[NVRAM_WRITER_PRI_INDEX],
                                        NVRAM_WRITER_STACK_HINT, NULL);
    if (nvram_id_failed(man_nvram_tid, 0))
        return nvram_init_fail("[NV][FLOW]: Thread create error!\n", 1);
    g_wf_path_info_map = hashmapCreate(NVRAM_MAP_CAPACITY, nvram_wf_id_hash, nvram_wf_id_equals);
    if (g_wf_path_info_map == NULL)
        return nvram_init_fail("[NV][FLOW]: g_wf_path_info_map create error!\n", 1);
    /* A zero-byte MA still gets a buffer, so an empty image is not mistaken
     * for an allocation failure. */
    uint64_t size = nv_cfg_file_size ? nv_cfg_file_size : 1;
    g_nvram_buffer_ptr = tp_os_mem_malloc(size);
    if (g_nvram_buffer_ptr == NULL)
        return nvram_init_fail("[NV][FLOW]: g_nvram_buffer_ptr is NULL!\n", 1);
    tp_os_mem_set(g_nvram_buffer_ptr, 0, size);
    return OS_SUCCESS;
}

uint32_t tp_nvram_init(void)
{
    LOG_NV_FLOW("[NV][FLOW]: tp_nvram_init( VOID )\n");
    if (g_nvram_inited == 1) {
        LOG_NV_FLOW("[NV][FLOW]: NVRAM manager has been initializd.\n");
        return OS_SUCCESS;
    }
    g_nvram_inited = 0;
    if (at_modem_get_nvram_cache_base_addr() != 0) {
        LOG_NV_FLOW("[NV][FLOW]: at_modem_nvram_cache_base_addr ERROR!\n");
        return NVRAM_FAIL;
    }
    LOG_NV_FLOW("[NV][FLOW]: at_modem_get_nvram_cache_base_addr:0x%lX nvram_cache_size:0x%lX\n",
                (unsigned long)g_js_ram_modem_nvram_cache_base_addr,
                (unsigned long)g_js_ram_modem_nvram_cache_size);
    g_nvram_inited = 1;
    if (nvram_create_objects() != OS_SUCCESS)
        return NVRAM_FAIL;

    if (fp_ma_ptr != NULL) {
        tp_fseek(fp_ma_ptr, 0, SEEK_SET);
        tp_fread(g_nvram_buffer_ptr, 1, nv_cfg_file_size, fp_ma_ptr);
    }
    nvram_write_status(0);
    tp_nvram_sync_shm_data();
    return OS_SUCCESS;
}

/* Copies the in-memory MA image into the modem's NVRAM cache. */
static uint32_t tp_nvram_sync_shm_data(void)
{
    LOG_NV_FLOW("[NV][FLOW]: tp_nvram_sync_shm_data :: nvram_cache_base_addr:0x%lX "
                "nvram_cache_size:0x%lX\n",
                (unsigned long)g_js_ram_modem_nvram_cache_base_addr,
                (unsigned long)g_js_ram_modem_nvram_cache_size);
    LOG_NV_FLOW("[NV][FLOW]: tp_nvram_sync_shm_data :: fp_ma_ptr:0x%lX nv_cfg_file_size:0x%lX\n",
                (unsigned long)(uintptr_t)fp_ma_ptr, (unsigned long)nv_cfg_file_size);
    if (fp_ma_ptr == NULL)
        return NVRAM_FAIL;
    uint64_t n = nv_cfg_file_size < g_js_ram_modem_nvram_cache_size
                     ? nv_cfg_file_size
                     : g_js_ram_modem_nvram_cache_size;
    tp_fseek(fp_ma_ptr, 0, SEEK_SET);
    tp_fread((void *)(uintptr_t)g_js_ram_modem_nvram_cache_base_addr, n, 1, fp_ma_ptr);
    LOG_NV_FLOW("[NV][FLOW]: tp_nvram_sync_shm_data :: return OS_SUCCESS\n");
    return OS_SUCCESS;
}

/* Positions *fp at page offset `off`, opening the fixed path first when the
 * handle is still null (a fresh handle already stands at page 0). */
static int nvram_page_file(FILE **fp, const char *path, long off)
{
    if (*fp == NULL) {
        *fp = tp_fopen(path, "r+");
        if (*fp == NULL) {
            LOG_NV_ERR("[NV][FLOW]: File open error!\n");
            return -1;
        }
        return 0;
    }
    tp_fseek(*fp, off, SEEK_SET);
    return 0;
}

/* Compares MA with BA page by page.  Returns 1 when they differ or a page
 * could not be read, 0 when every whole page matched, -1 when a file could
 * not be opened. */
static int nvram_pages_differ(uint8_t *ma_page, uint8_t *ba_page, uint64_t pages)
{
    for (uint64_t p = 0; p < pages; p++) {
        long off = (long)(p * NVRAM_PAGE);
        if (nvram_page_file(&fp_ma_ptr, NVRAM_MA_PATH, off) != 0)
            return -1;
        if (tp_fread(ma_page, NVRAM_PAGE, 1, fp_ma_ptr) == 0)
            return 1;
        if (nvram_page_file(&fp_ba_ptr, NVRAM_BA_PATH, off) != 0)
            return -1;
        if (tp_fread(ba_page, NVRAM_PAGE, 1, fp_ba_ptr) == 0)
            return 1;
        if (memcmp(ma_page, ba_page, NVRAM_PAGE) != 0) {
            LOG_NV_ERR("[NV][FLOW]: MA != BA!\n");
            return 1;
        }
    }
    return 0;
}

/* Writes MA's image over the start of BA.  Only the bytes MA delivers are
 * written, so a short MA never overwrites BA with filler. */
static uint32_t nvram_copy_ma_to_ba(void)
{
    LOG_NV_FLOW("[NV][FLOW]: Copy MA to BA.\n");
    uint64_t n = nv_cfg_file_size;
    uint8_t *buf = (uint8_t *)tp_os_mem_malloc(n ? n : 1);
    if (buf == NULL) {
        LOG_NV_ERR("[NV][FLOW]: read_buf_ptr is NULL!\n");
        return NVRAM_FAIL;
    }
    uint32_t rc = NVRAM_FAIL;
    /* BA is still unopened when MA's first page could not be read. */
    if (nvram_page_file(&fp_ba_ptr, NVRAM_BA_PATH, 0) != 0)
        goto free_buf;
    tp_fseek(fp_ma_ptr, 0, SEEK_SET);
    n = tp_fread(buf, 1, n, fp_ma_ptr);
    tp_fseek(fp_ba_ptr, 0, SEEK_SET);
    tp_fwrite(buf, 1, n, fp_ba_ptr);
    tp_fflush(fp_ba_ptr);
    /* The backup is only worth having once it is on stable storage. */
    tp_nvram_sync_file(fp_ba_ptr, NVRAM_BA_PATH);
    rc = OS_SUCCESS;
free_buf:
    tp_os_mem_free(buf);
    return rc;
}

uint32_t tp_nvram_backup_param_setting(void)
{
    uint64_t pages = nv_cfg_file_size / NVRAM_PAGE;
    LOG_NV_FLOW("[NV][FLOW]: Backup parameter setting.\n");
    LOG_NV_FLOW("[NV][API]: tp_nvram_backup_param_setting( VOID )\n");

    uint8_t *ma_page = (uint8_t *)tp_os_mem_malloc(NVRAM_PAGE);
    if (ma_page == NULL) {
        LOG_NV_ERR("[NV][FLOW]: cmp_1_ptr is NULL!\n");
        return NVRAM_FAIL;
    }
    uint8_t *ba_page = (uint8_t *)tp_os_mem_malloc(NVRAM_PAGE);
    if (ba_page == NULL) {
        LOG_NV_ERR("[NV][FLOW]: cmp_2_ptr is NULL!\n");
        tp_os_mem_free(ma_page);
        return NVRAM_FAIL;
    }
    int differ = pages ? nvram_pages_differ(ma_page, ba_page, pages) : 0;
    tp_os_mem_free(ba_page);
    tp_os_mem_free(ma_page);
    if (differ < 0)
        return NVRAM_FAIL;
    return differ ? nvram_copy_ma_to_ba() : OS_SUCCESS;
}

static void nvram_close(FILE **fp)
{
    if (*fp != NULL) {
        tp_fclose(*fp);
        *fp = NULL;
    }
}

static uint32_t tp_nvram_delete(void)
{
    LOG_NV_FLOW("[NV][API]: tp_nvram_delete( VOID )\n");
    if (g_nvram_inited == 0)
        return OS_SUCCESS;
    if (tp_nvram_backup_param_setting() == NVRAM_FAIL) {
        LOG_NV_FLOW("[NV][FLOW]: Backup param setting error!\n");
        return NVRAM_FAIL;
    }
    nvram_close(&fp_ma_ptr);
    nvram_close(&fp_da_ptr);
    nvram_close(&fp_ba_ptr);
    nvram_close(&fp_user_ptr);

    /* Ids go back to all ones so that a later init starts from scratch. */
    if (!nvram_id_failed(man_nvram_tid, 0))
        tp_os_thread_delete(man_nvram_tid);
    man_nvram_tid = KOR_OS_FAIL;
    if (!nvram_id_failed(man_nvram_qid, 0))
        tp_os_queue_delete(man_nvram_qid);
    man_nvram_qid = KOR_OS_FAIL;
    for (size_t i = 0; i < NVRAM_MUTEX_COUNT; i++) {
        if (!nvram_id_failed(*s_mutex_defs[i].id, 0))
            tp_os_mutex_delete(*s_mutex_defs[i].id);
        *s_mutex_defs[i].id = KOR_OS_FAIL;
    }
    if (g_nvram_buffer_ptr != NULL) {
        tp_os_mem_free(g_nvram_buffer_ptr);
        g_nvram_buffer_ptr = NULL;
    }
    g_nvram_inited = 0;
    return OS_SUCCESS;
}
