/* Internals shared by the NVRAM manager's own files (store, writer, NV-channel
 * dispatcher, binary loads, ini reader); no other area includes this. */
#ifndef NVRAM_INT_H
#define NVRAM_INT_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "kor_os.h"
#include "korv_log.h"
#include "nvram/nvram.h"

#ifdef __cplusplus
extern "C" {
#endif


/* The map key of a wf_id: only its low 32 bits count. */
static inline uint64_t nvram_wf_key(uint64_t wf_id) { return wf_id & 0xFFFFFFFFull; }

/* Precision for a "%.*s" rendering of len bytes of NV data. */
static inline int nvram_log_len(uint64_t len) { return len > INT32_MAX ? INT32_MAX : (int)len; }

/* True when a creation call reported its failure value; `wide` tests all 64
 * bits, otherwise only the low 32 bits count. */
static inline int nvram_id_failed(uint64_t id, int wide)
{
    return wide ? id == KOR_OS_FAIL : (uint32_t)id == 0xFFFFFFFFu;
}

/* Device path MA was opened from (nvram_files.cc), for log lines. */
const char *nvram_ma_path(void);

/* Reads lines of an ini file until one survives preparation: leading blanks
 * skipped, `comment` lines skipped, cut at the first `comment`, trailing
 * blanks, '#' and newlines dropped.  Returns the prepared text inside `line`
 * (cap bytes), or NULL at end of file. */
char *nvram_ini_next(FILE *fp, char comment, char *line, size_t cap);

#ifdef __cplusplus
}
#endif
#endif
