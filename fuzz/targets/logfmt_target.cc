/* Fuzz target "logfmt": the log's own printf (kor_log_vformat) against
 * glibc's snprintf, which it must match byte for byte and in its result.
 * Log lines carry framework-sent text and numbers, so every field of a
 * conversion is drawn from the input.  Each input is a list of cases of 16
 * bytes (a short tail is padded with zeros):
 *   0  flags: bit 0 '-', 1 '0', 2 '+', 3 ' ', 4 '#'
 *   1  width: 0 none, 1-200 that number, above '*' with the signed byte 3
 *   2  precision: bit 7 clear: none; else bits 0-6 a number, 127 '.*' with
 *      (bits 3-7 of byte 7) - 8 (so negative ones too), 126 a bare '.'
 *   4  length modifier: one of "", hh, h, l, ll, z, j, t, L (mod 9)
 *   5  conversion: one of d i u x X c s p % o (mod 10)
 *   6  buffer size: 0-255
 *   7  bit 0: a %s of NULL; bits 1-2 literal text around the conversion
 *   8  the value: 8 bytes, little-endian
 * A %s takes its text from the rest of the input, up to 40 bytes. */
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "fuzz/targets/fuzz_targets.h"
#include "platform/adapter/adapter_int.h"

#define CHECK(cond) KORV_FUZZ_CHECK("logfmt", cond)
#define LOGFMT_CASE 16
#define LOGFMT_TEXT_MAX 40

static const char *const s_lengths[] = {"", "hh", "h", "l", "ll", "z", "j", "t", "L"};
static const char s_convs[] = "diuxXcsp%o";

static int logfmt_ours(char *buf, size_t cap, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int n = kor_log_vformat(buf, cap, format, ap);
    va_end(ap);
    return n;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
/* Both renderings of one case; star arguments come first, as in the format. */
template <typename... A>
static void logfmt_compare(size_t cap, const std::string &format, A... args)
{
    char ours[256], theirs[256];
    memset(ours, 0x5A, sizeof ours);
    memset(theirs, 0x5A, sizeof theirs);
    int a = logfmt_ours(ours, cap, format.c_str(), args...);
    int b = snprintf(theirs, cap, format.c_str(), args...);
    CHECK(a == b);
    /* The whole buffer: what was written, the terminator and what was not touched. */
    CHECK(memcmp(ours, theirs, sizeof ours) == 0);
}
#pragma GCC diagnostic pop

template <typename... S>
static void logfmt_value(const uint8_t *c, size_t cap, const std::string &format, char conv, const char *text,
                         S... stars)
{
    uint64_t v;
    memcpy(&v, c + 8, sizeof v);
    int len = c[4] % 9;
    if (conv == '%')
        logfmt_compare(cap, format, stars...);
    else if (conv == 's')
        logfmt_compare(cap, format, stars..., (c[7] & 1) ? (const char *)NULL : text);
    else if (conv == 'p')
        logfmt_compare(cap, format, stars..., (void *)(uintptr_t)v);
    else if (len <= 2 || conv == 'c')
        logfmt_compare(cap, format, stars..., (int)v);
    else if (len == 3)
        logfmt_compare(cap, format, stars..., (long)v);
    else if (len == 5)
        logfmt_compare(cap, format, stars..., (size_t)v);
    else if (len == 6)
        logfmt_compare(cap, format, stars..., (intmax_t)v);
    else if (len == 7)
        logfmt_compare(cap, format, stars..., (ptrdiff_t)v);
    else
        logfmt_compare(cap, format, stars..., (long long)v);
}

static void logfmt_case(const uint8_t *c, const char *text)
{
    std::string directive = "%";
    for (int bit = 0; bit < 5; bit++)
        if (c[0] & (1 << bit)) directive += "-0+ #"[bit];
    bool wstar = c[1] > 200, pstar = c[2] == 0xFF;
    if (wstar) directive += "*";
    else if (c[1] != 0) directive += std::to_string(c[1]);
    if (c[2] & 0x80) directive += pstar ? ".*" : (c[2] & 0x7F) == 126 ? "." : "." + std::to_string(c[2] & 0x7F);
    char conv = s_convs[c[5] % 10];
    /* Lengths glibc rejects outright (on s, c, p) only test its error path. */
    if (conv != 's' && conv != 'c' && conv != 'p' && conv != '%') directive += s_lengths[c[4] % 9];
    directive += conv;
    std::string format = (c[7] & 2 ? "a%%b " : "") + directive + (c[7] & 4 ? " end\n" : "");
    size_t cap = c[6];
    int w = (int8_t)c[3], p = (int)(c[7] >> 3) - 8;
    if (wstar && pstar) logfmt_value(c, cap, format, conv, text, w, p);
    else if (wstar) logfmt_value(c, cap, format, conv, text, w);
    else if (pstar) logfmt_value(c, cap, format, conv, text, p);
    else logfmt_value(c, cap, format, conv, text);
}

static int logfmt_fuzz_one(const uint8_t *data, size_t size)
{
    for (size_t at = 0; at < size; at += LOGFMT_CASE) {
        uint8_t c[LOGFMT_CASE] = {0};
        memcpy(c, data + at, size - at < LOGFMT_CASE ? size - at : LOGFMT_CASE);
        size_t rest = size - at > LOGFMT_CASE ? size - at - LOGFMT_CASE : 0;
        std::string text((const char *)data + at + (size - at > LOGFMT_CASE ? LOGFMT_CASE : size - at),
                         rest < LOGFMT_TEXT_MAX ? rest : LOGFMT_TEXT_MAX);
        logfmt_case(c, text.c_str());
    }
    return 0;
}

const korv_fuzz_target korv_fuzz_logfmt = {"logfmt", NULL, logfmt_fuzz_one};
