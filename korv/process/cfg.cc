/* Configuration file reader: loads the key/value text file into the
 * adapter's configuration record g_bw_hqs_cfg once at start, on the main
 * thread, before any other thread exists.  The file is opened through the
 * platform seam, so its device path is taken below KORV_ROOT when that is
 * set. */
#include "process/cfg.h"

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "kor_cfg.h"
#include "kor_os.h"
#include "korv_log.h"
#include "kor_platform.h"

#define CFG_BLANK ' '
#define CFG_COMMENT '#'
#define CFG_DEFAULT_LOG_SIZE 5242880 /* used only when the file can't be opened */

typedef enum cfg_kind_e { CFG_INT32, CFG_INT64, CFG_TEXT } cfg_kind_e;

/* One known key and the record field it fills; width is the longest text
 * kept (the field has one more byte for the terminator). */
typedef struct cfg_key_st {
    const char *key;
    size_t offset;
    cfg_kind_e kind;
    size_t width;
} cfg_key_st;

#define CFG_I32(k, f) {k, offsetof(bw_hqs_cfg_st, f), CFG_INT32, 0}
#define CFG_TXT(k, f, w) {k, offsetof(bw_hqs_cfg_st, f), CFG_TEXT, w}

static const cfg_key_st s_cfg_keys[] = {
    CFG_I32("bw.log.general.info", log_general_info),
    CFG_I32("bw.log.atiext.info", log_atiext_info),
    CFG_I32("bw.log.aep.info", log_aep_info),
    CFG_I32("bw.log.ati.info", log_ati_info),
    CFG_I32("bw.log.amt.info", log_amt_info),
    CFG_I32("bw.log.nvram.info", log_nvram_info),
    CFG_I32("bw.log.mux.info", log_mux_info),
    CFG_I32("bw.log.aos.info", log_aos_info),
    CFG_I32("bw.log.mdm.info", log_mdm_info),
    {"bw.log.size", offsetof(bw_hqs_cfg_st, log_size), CFG_INT64, 0},
    CFG_TXT("bw.nvupdate.dev.name", nvupdate_dev_name, CFG_DEV_NAME_MAX),
    CFG_TXT("bw.amt.file", amt_file, CFG_PATH_MAX),
    CFG_TXT("bw.sysconfig.da.file", sysconfig_da_file, CFG_PATH_MAX),
    CFG_TXT("bw.sysconfig.ma.file", sysconfig_ma_file, CFG_PATH_MAX),
    CFG_TXT("bw.user.data.file", user_data_file, CFG_PATH_MAX),
};

static void store_value(const cfg_key_st *k, const char *value)
{
    char *field = (char *)&g_bw_hqs_cfg + k->offset;
    /* strtol without error check: leading junk or no digits give 0. */
    long number = strtol(value, NULL, 10);

    switch (k->kind) {
    case CFG_INT32: {
        int32_t v = (int32_t)(uint32_t)number; /* low 32 bits */
        memcpy(field, &v, sizeof(v));
        break;
    }
    case CFG_INT64: {
        int64_t v = number;
        memcpy(field, &v, sizeof(v));
        break;
    }
    case CFG_TEXT: {
        size_t len = strlen(value);
        /* A later line for the same key replaces the earlier text whole. */
        memset(field, 0, k->width + 1);
        memcpy(field, value, len < k->width ? len : k->width);
        break;
    }
    }
}

static void apply_key(const char *key, const char *value)
{
    size_t i;

    for (i = 0; i < sizeof(s_cfg_keys) / sizeof(s_cfg_keys[0]); i++) {
        if (strcmp(key, s_cfg_keys[i].key) == 0) {
            store_value(&s_cfg_keys[i], value);
            return;
        }
    }
    /* Unknown keys are ignored without a message. */
}

int cfg_read_line(FILE *stream, char *buf, size_t capacity, size_t *length, int *eof)
{
    size_t stored = 0;
    int c;

    /* A zero capacity has no room even for the terminator. */
    if (stream == NULL || buf == NULL || length == NULL || eof == NULL || capacity == 0)
        return -1;
    *length = 0;
    *eof = 0;
    memset(buf, 0, capacity);
    while ((c = getc(stream)) != '\n') {
        if (c == EOF) {
            *eof = 1;
            break;
        }
        /* Characters beyond the buffer are read and dropped, so the next
         * call starts at the next line. */
        if (stored + 1 < capacity)
            buf[stored++] = (char)c;
    }
    *length = strlen(buf);
    while (*length > 0 && buf[*length - 1] == '\r')
        buf[--*length] = '\0';
    return 0;
}

static char *skip_blanks(char *p)
{
    while (*p == CFG_BLANK)
        p++;
    return p;
}

/* Cuts trailing blanks of the text that runs from start to end. */
static void trim_blanks(char *start, char *end)
{
    while (end > start && end[-1] == CFG_BLANK)
        *--end = '\0';
}

int cfg_parse_line(char *line, char **key, char **value)
{
    char *start;
    char *eq;

    if (line == NULL || key == NULL || value == NULL)
        return -1;
    start = skip_blanks(line);
    if (*start == CFG_COMMENT)
        return -1;
    eq = strchr(start, '=');
    if (eq == NULL)
        return -1;
    *eq = '\0';
    trim_blanks(start, eq);
    *key = start;
    *value = skip_blanks(eq + 1);
    trim_blanks(*value, *value + strlen(*value));
    return 0;
}

/* Reads the key/value lines of path (at most CFG_MAX_LINES) into the
 * record; -1 when the file cannot be opened. */
static int cfg_load(const char *path)
{
    char line[CFG_LINE_SIZE];
    char *key;
    char *value;
    size_t length;
    int eof = 0;
    int lines = 0;
    FILE *fp;

    if (path == NULL)
        path = CFG_DEFAULT_PATH;
    fp = kor_fopen(path, "r");
    if (fp == NULL) {
        int err = errno;
        LOG_MODEM_ERR("[AOS][FLOW]: fail to open file: %s errno = %d-%s\n", path, err,
                      strerror(err));
        g_bw_hqs_cfg.log_size = CFG_DEFAULT_LOG_SIZE;
        return -1;
    }
    while (!eof && lines < CFG_MAX_LINES) {
        if (cfg_read_line(fp, line, sizeof(line), &length, &eof) == 0 &&
            cfg_parse_line(line, &key, &value) == 0 && *key != '\0' && *value != '\0')
            apply_key(key, value);
        lines++;
    }
    fclose(fp);
    return 0;
}

int cfg_init(const char *path)
{
    char used[CFG_PATH_MAX + 1] = {0};
    int ret;

    memset(&g_bw_hqs_cfg, 0, sizeof(g_bw_hqs_cfg));
    if (path == NULL || *path == '\0')
        return cfg_load(CFG_DEFAULT_PATH);

    /* The record keeps 80 characters without a terminator when the path
     * fills it; the reader works on a terminated copy. */
    strncpy(used, path, CFG_PATH_MAX);
    memcpy(g_bw_hqs_cfg.cfg_file_path, used, CFG_PATH_MAX);
    ret = cfg_load(used);
    LOG_MODEM_FLOW("[AOS][FLOW]: cfg file path is %s\n", used);
    return ret;
}
