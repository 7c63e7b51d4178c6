/* Opening the NVRAM files before the store comes up: MA, BA, DA, user data
 * and the NV log, from the configuration record where it names them, else
 * from fixed paths.  Runs once on the bring-up thread before tp_nvram_init;
 * the handles then belong to the store (nvram_store.cc). */
#include <string.h>
#include <sys/stat.h>

#include "kor_cfg.h"
#include "kor_os.h"
#include "nvram/nvram_int.h"

#define NVRAM_DA_PATH "/data/brimwell/nvram/nvram_sysconfig_da.bin"
#define NVRAM_USER_PATH "/data/brimwell/nvram/nvram_user_data.bin"
#define NVRAM_LOG_PATH "/data/brimwell/nvram/nvram_log.bin"

/* MA's device path as opened; bring-up writes it, the writer reads it after. */
static char s_ma_path[CFG_PATH_MAX + 1] = NVRAM_MA_PATH;

/* The configured path when the record holds one, else the fall-back.  The
 * record's fields are fixed arrays that need not end in a NUL. */
static const char *nvram_cfg_path(const char *field, size_t size, const char *fallback, char *out)
{
    size_t n = strnlen(field, size - 1);
    if (n == 0)
        return fallback;
    memcpy(out, field, n);
    out[n] = '\0';
    return out;
}

/* Opens one file "r+" into a null handle; an already open handle is kept. */
static void nvram_open_one(FILE **fp, const char *what, const char *path)
{
    if (*fp != NULL)
        return;
    *fp = tp_fopen(path, "r+");
    if (*fp == NULL)
        LOG_NV_ERR("[NV][FLOW]: tp_nvram_open_files: %s file %s cannot be opened, left closed\n", what,
                   path);
}

const char *nvram_ma_path(void)
{
    return s_ma_path;
}

void tp_nvram_open_files(void)
{
    char da[CFG_PATH_MAX + 1], user[CFG_PATH_MAX + 1];

    nvram_open_one(&fp_ma_ptr, "MA",
                   nvram_cfg_path(g_bw_hqs_cfg.sysconfig_ma_file,
                                  sizeof g_bw_hqs_cfg.sysconfig_ma_file, NVRAM_MA_PATH, s_ma_path));
    nvram_open_one(&fp_ba_ptr, "BA", NVRAM_BA_PATH);
    nvram_open_one(&fp_da_ptr, "DA",
                   nvram_cfg_path(g_bw_hqs_cfg.sysconfig_da_file,
                                  sizeof g_bw_hqs_cfg.sysconfig_da_file, NVRAM_DA_PATH, da));
    nvram_open_one(&fp_user_ptr, "user data",
                   nvram_cfg_path(g_bw_hqs_cfg.user_data_file, sizeof g_bw_hqs_cfg.user_data_file,
                                  NVRAM_USER_PATH, user));
    nvram_open_one(&fp_log_ptr, "NV log", NVRAM_LOG_PATH);

    struct stat st;
    nv_cfg_file_size = 0;
    if (fp_ma_ptr != NULL && fstat(fileno(fp_ma_ptr), &st) == 0)
        nv_cfg_file_size = (uint64_t)st.st_size;
    LOG_NV_FLOW("[NV][FLOW]: tp_nvram_open_files: nv_cfg_file_size:0x%lX\n",
                (unsigned long)nv_cfg_file_size);
}
