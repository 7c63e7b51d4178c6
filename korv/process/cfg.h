/* Configuration file reader: fills g_bw_hqs_cfg (kor_cfg.h) from key/value
 * text at start. */
#ifndef CFG_H
#define CFG_H

#include <stddef.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

#define CFG_DEFAULT_PATH "/system/etc/bw-hqs.cfg"
#define CFG_MAX_LINES 600
#define CFG_LINE_SIZE 100

int cfg_init(const char *path);
int cfg_load(const char *path);
int cfg_read_line(FILE *stream, char *buf, size_t capacity, size_t *length, int *eof);
int cfg_parse_line(char *line, char **key, char **value);

#ifdef __cplusplus
}
#endif
#endif
