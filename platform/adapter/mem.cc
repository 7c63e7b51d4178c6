/* Memory services: the system allocator, with the null and zero-size cases
 * made harmless for callers that pass them. */
#include <stdlib.h>
#include <string.h>

#include "kor_os.h"

void *tp_os_mem_malloc(size_t size) {
    /* A zero-size request still gets a distinct block, never null. */
    return malloc(size != 0 ? size : 1);
}

void tp_os_mem_free(void *p) { free(p); }

void tp_os_mem_set(void *p, int byte, size_t size) {
    if (p != NULL && size != 0) memset(p, byte, size);
}

void tp_os_mem_cpy(void *dst, const void *src, size_t n) {
    if (dst != NULL && src != NULL && n != 0) memmove(dst, src, n);
}
