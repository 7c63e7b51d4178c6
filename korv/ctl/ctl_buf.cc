/* The control socket's answer buffer: formatted appends that grow it, and
 * JSON strings that stay valid whatever bytes they are made of.  A buffer
 * belongs to the one thread that builds an answer in it. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ctl/ctl_int.h"

#define BUF_FIRST_CAP 512

/* Room for `more` bytes and a terminator; 0, or -1 (buffer marked failed). */
static int buf_reserve(kro_ctl_buf_st *buf, size_t more)
{
    if (buf->failed)
        return -1;
    size_t need = buf->len + more + 1;
    if (need <= buf->cap)
        return 0;
    size_t cap = buf->cap ? buf->cap : BUF_FIRST_CAP;
    while (cap < need)
        cap *= 2;
    char *data = (char *)realloc(buf->data, cap);
    if (data == NULL) {
        buf->failed = 1;
        return -1;
    }
    buf->data = data;
    buf->cap = cap;
    return 0;
}

void kro_ctl_buf_printf(kro_ctl_buf_st *buf, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(NULL, 0, format, ap);
    va_end(ap);
    if (n < 0 || buf_reserve(buf, (size_t)n) != 0)
        return;
    va_start(ap, format);
    vsnprintf(buf->data + buf->len, (size_t)n + 1, format, ap);
    va_end(ap);
    buf->len += (size_t)n;
}

void kro_ctl_buf_json_str(kro_ctl_buf_st *buf, const char *text, size_t max)
{
    size_t len = strnlen(text, max);
    /* Worst case: every byte becomes a six-byte \u escape. */
    if (buf_reserve(buf, len * 6 + 2) != 0)
        return;
    char *out = buf->data + buf->len;
    *out++ = '"';
    for (size_t i = 0; i < len; i++) {
        unsigned char c = (unsigned char)text[i];
        if (c == '"' || c == '\\') {
            *out++ = '\\';
            *out++ = (char)c;
        } else if (c < 0x20 || c > 0x7E) {
            out += snprintf(out, 7, "\\u%04x", c);
        } else {
            *out++ = (char)c;
        }
    }
    *out++ = '"';
    *out = '\0';
    buf->len = (size_t)(out - buf->data);
}

void kro_ctl_buf_free(kro_ctl_buf_st *buf)
{
    free(buf->data);
    memset(buf, 0, sizeof(*buf));
}
