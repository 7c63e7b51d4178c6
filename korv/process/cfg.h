/* Configuration file reader: fills g_bw_hqs_cfg (kor_cfg.h) from key/value
 * text at start. */
#ifndef CFG_H
#define CFG_H

#include <stddef.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The configuration file read when no -p option names one. */
#define CFG_DEFAULT_PATH "/system/etc/bw-hqs.cfg"
/* Lines read at most, and the buffer of one line (longer lines are cut). */
#define CFG_MAX_LINES 600
#define CFG_LINE_SIZE 100

/* Clears g_bw_hqs_cfg and fills it from path (NULL or empty: the default);
 * 0, or -1 when the file cannot be opened.  Main thread, before bring-up. */
int cfg_init(const char *path);
/* Reads one line into buf (capacity bytes, cut and terminated, trailing CRs
 * dropped), sets *length and *eof; 0, or -1 for bad arguments. */
int cfg_read_line(FILE *stream, char *buf, size_t capacity, size_t *length, int *eof);
/* Splits "key = value" in place, blanks trimmed; -1 for a comment or a line
 * without '='. */
int cfg_parse_line(char *line, char **key, char **value);

#ifdef __cplusplus
}
#endif
#endif
