/* The log's own printf: renders the conversions the daemon's lines use
 * (d i u x X c s p %, with the flags '-' and '0', width, precision and the
 * integer length modifiers) byte for byte as glibc's vsnprintf does, at a
 * fraction of its cost: every NV entry makes fourteen lines, and vfprintf's
 * stream machinery was the largest user-space cost of both threads that make
 * them.  Anything else in a format (other flags, floating point, %n,
 * positional arguments, a null %s, wide characters) hands the whole line to
 * vsnprintf, so the output never depends on which path made it.
 *
 * Called on the signal handler's path: no lock, no allocation, no locale. */
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/types.h>

#include "adapter_int.h"

/* A width or precision above this goes to vsnprintf (it never occurs in a
 * log line; the bound keeps the arithmetic below far from overflow). */
#define FMT_FIELD_MAX 65536

enum fmt_len { FMT_INT, FMT_CHAR, FMT_SHORT, FMT_LONG, FMT_LLONG, FMT_SIZE, FMT_MAX, FMT_PTRDIFF };

typedef struct fmt_out_st {
    char *buf;
    size_t limit; /* bytes that fit before the terminator */
    size_t pos;   /* bytes the whole line takes, written or not */
} fmt_out_st;

typedef struct fmt_conv_st {
    int left;
    int zero;
    int width;
    int prec; /* -1: none */
    int len;  /* enum fmt_len */
} fmt_conv_st;

static void fmt_bytes(fmt_out_st *o, const char *s, size_t n) {
    if (o->pos < o->limit) {
        size_t k = n < o->limit - o->pos ? n : o->limit - o->pos;
        memcpy(o->buf + o->pos, s, k);
    }
    o->pos += n;
}

static void fmt_fill(fmt_out_st *o, char c, size_t n) {
    if (o->pos < o->limit) {
        size_t k = n < o->limit - o->pos ? n : o->limit - o->pos;
        memset(o->buf + o->pos, c, k);
    }
    o->pos += n;
}

/* Text padded to the width with blanks, on the side the '-' flag says. */
static void fmt_padded(fmt_out_st *o, const fmt_conv_st *cv, const char *s, size_t n) {
    size_t pad = (size_t)cv->width > n ? (size_t)cv->width - n : 0;
    if (!cv->left) fmt_fill(o, ' ', pad);
    fmt_bytes(o, s, n);
    if (cv->left) fmt_fill(o, ' ', pad);
}

/* Digits of v in base 10 or 16 written backwards ending at `end`; their count. */
static int fmt_digits(char *end, uint64_t v, unsigned base, int upper) {
    const char *set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    int n = 0;
    do {
        *--end = set[v % base];
        v /= base;
        n++;
    } while (v != 0);
    return n;
}

static void fmt_int(fmt_out_st *o, const fmt_conv_st *cv, uint64_t mag, int neg, unsigned base, int upper) {
    char digits[24];
    /* Precision 0 prints no digit for the value 0. */
    int nd = cv->prec == 0 && mag == 0 ? 0 : fmt_digits(digits + sizeof digits, mag, base, upper);
    size_t zeros = cv->prec > nd ? (size_t)(cv->prec - nd) : 0;
    size_t body = (size_t)neg + zeros + (size_t)nd;
    size_t width = (size_t)cv->width;
    /* '0' pads with zeros after the sign, unless '-' or a precision rules it out. */
    if (cv->zero && !cv->left && cv->prec < 0 && width > body) {
        zeros += width - body;
        body = width;
    }
    size_t pad = width > body ? width - body : 0;
    if (!cv->left) fmt_fill(o, ' ', pad);
    if (neg) fmt_bytes(o, "-", 1);
    fmt_fill(o, '0', zeros);
    fmt_bytes(o, digits + sizeof digits - nd, (size_t)nd);
    if (cv->left) fmt_fill(o, ' ', pad);
}

static int64_t fmt_signed_arg(int len, va_list *ap) {
    switch (len) {
    case FMT_CHAR: return (signed char)va_arg(*ap, int);
    case FMT_SHORT: return (short)va_arg(*ap, int);
    case FMT_LONG: return va_arg(*ap, long);
    case FMT_LLONG: return va_arg(*ap, long long);
    case FMT_SIZE: return va_arg(*ap, ssize_t);
    case FMT_MAX: return va_arg(*ap, intmax_t);
    case FMT_PTRDIFF: return va_arg(*ap, ptrdiff_t);
    default: return va_arg(*ap, int);
    }
}

static uint64_t fmt_unsigned_arg(int len, va_list *ap) {
    switch (len) {
    case FMT_CHAR: return (unsigned char)va_arg(*ap, unsigned);
    case FMT_SHORT: return (unsigned short)va_arg(*ap, unsigned);
    case FMT_LONG: return va_arg(*ap, unsigned long);
    case FMT_LLONG: return va_arg(*ap, unsigned long long);
    case FMT_SIZE: return va_arg(*ap, size_t);
    case FMT_MAX: return va_arg(*ap, uintmax_t);
    case FMT_PTRDIFF: return (uint64_t)va_arg(*ap, ptrdiff_t);
    default: return va_arg(*ap, unsigned);
    }
}

/* A decimal field of the format; -1 when it is too large or positional. */
static int fmt_number(const char **f) {
    int v = 0;
    while (**f >= '0' && **f <= '9') {
        v = v * 10 + (*(*f)++ - '0');
        if (v > FMT_FIELD_MAX) return -1;
    }
    return **f == '$' ? -1 : v;
}

/* Flags, width and precision after the '%'; 0, or -1 for what only
 * vsnprintf renders. */
static int fmt_parse_fields(const char **f, fmt_conv_st *cv, va_list *ap) {
    for (;; (*f)++) {
        if (**f == '-') cv->left = 1;
        else if (**f == '0') cv->zero = 1;
        else if (**f != '\0' && strchr("+ #'I", **f) != NULL) return -1;
        else break;
    }
    if (**f == '*') {
        (*f)++;
        int w = va_arg(*ap, int);
        if (w < -FMT_FIELD_MAX || w > FMT_FIELD_MAX) return -1;
        cv->left |= w < 0;
        cv->width = w < 0 ? -w : w;
    } else if ((cv->width = fmt_number(f)) < 0) {
        return -1;
    }
    if (**f != '.') return 0;
    (*f)++;
    if (**f == '*') {
        (*f)++;
        int p = va_arg(*ap, int);
        if (p > FMT_FIELD_MAX) return -1;
        cv->prec = p < 0 ? -1 : p;
        return 0;
    }
    return (cv->prec = fmt_number(f)) < 0 ? -1 : 0;
}

static int fmt_parse_len(const char **f) {
    switch (**f) {
    case 'h': return *++*f == 'h' ? ((*f)++, FMT_CHAR) : FMT_SHORT;
    case 'l': return *++*f == 'l' ? ((*f)++, FMT_LLONG) : FMT_LONG;
    case 'z': (*f)++; return FMT_SIZE;
    case 'j': (*f)++; return FMT_MAX;
    case 't': (*f)++; return FMT_PTRDIFF;
    default: return FMT_INT;
    }
}

/* The text conversions; -1 for what only vsnprintf renders. */
static int fmt_text(fmt_out_st *o, const fmt_conv_st *cv, char conv, va_list *ap) {
    if (cv->zero || cv->len != FMT_INT) return -1;
    if (conv == 'c') {
        char c = (char)va_arg(*ap, int);
        fmt_padded(o, cv, &c, 1);
        return 0;
    }
    if (conv == 's') {
        const char *s = va_arg(*ap, const char *);
        if (s == NULL) return -1;
        fmt_padded(o, cv, s, cv->prec >= 0 ? strnlen(s, (size_t)cv->prec) : strlen(s));
        return 0;
    }
    /* %p: only bare, the one way the daemon uses it. */
    if (cv->left || cv->width != 0 || cv->prec >= 0) return -1;
    uintptr_t p = (uintptr_t)va_arg(*ap, void *);
    if (p == 0) {
        fmt_bytes(o, "(nil)", 5);
        return 0;
    }
    char digits[24];
    int nd = fmt_digits(digits + sizeof digits, p, 16, 0);
    fmt_bytes(o, "0x", 2);
    fmt_bytes(o, digits + sizeof digits - nd, (size_t)nd);
    return 0;
}

/* One conversion after its '%'; -1 for what only vsnprintf renders. */
static int fmt_conversion(fmt_out_st *o, const char **f, va_list *ap) {
    fmt_conv_st cv = {0, 0, 0, -1, FMT_INT};
    if (**f == '%') {
        (*f)++;
        fmt_bytes(o, "%", 1);
        return 0;
    }
    if (fmt_parse_fields(f, &cv, ap) != 0) return -1;
    cv.len = fmt_parse_len(f);
    char conv = *(*f)++;
    switch (conv) {
    case 'd':
    case 'i': {
        int64_t v = fmt_signed_arg(cv.len, ap);
        fmt_int(o, &cv, v < 0 ? 0 - (uint64_t)v : (uint64_t)v, v < 0, 10, 0);
        return 0;
    }
    case 'u': fmt_int(o, &cv, fmt_unsigned_arg(cv.len, ap), 0, 10, 0); return 0;
    case 'x': fmt_int(o, &cv, fmt_unsigned_arg(cv.len, ap), 0, 16, 0); return 0;
    case 'X': fmt_int(o, &cv, fmt_unsigned_arg(cv.len, ap), 0, 16, 1); return 0;
    case 'c':
    case 's':
    case 'p': return fmt_text(o, &cv, conv, ap);
    default: return -1;
    }
}

int kor_log_vformat(char *buf, size_t cap, const char *format, va_list ap) {
    /* Two copies: one this renderer consumes (by address, which a va_list
     * parameter cannot give portably), one kept for vsnprintf. */
    va_list args, whole;
    va_copy(args, ap);
    va_copy(whole, ap);
    fmt_out_st o = {buf, cap > 0 ? cap - 1 : 0, 0};
    const char *f = format;
    int rc = 0;
    while (*f != '\0' && rc == 0) {
        const char *pct = strchrnul(f, '%');
        fmt_bytes(&o, f, (size_t)(pct - f));
        f = pct;
        if (*f == '%') {
            f++;
            rc = fmt_conversion(&o, &f, &args);
        }
    }
    va_end(args);
    if (rc != 0 || o.pos > INT32_MAX) {
        int n = vsnprintf(buf, cap, format, whole);
        va_end(whole);
        return n;
    }
    va_end(whole);
    if (cap > 0) buf[o.pos < o.limit ? o.pos : o.limit] = '\0';
    return (int)o.pos;
}

char *kor_log_put_uint(char *p, uint64_t v, int min_digits) {
    char digits[24];
    int nd = fmt_digits(digits + sizeof digits, v, 10, 0);
    for (; min_digits > nd; min_digits--) *p++ = '0';
    memcpy(p, digits + sizeof digits - nd, (size_t)nd);
    return p + nd;
}
