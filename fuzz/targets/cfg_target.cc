/* Fuzz target "cfg": the configuration reader on arbitrary text.  The input
 * is read line by line with cfg_read_line (a capacity taken from its first
 * byte, so short buffers and dropped line tails are reached), each line is
 * split with cfg_parse_line, and the whole input is loaded as a file with
 * cfg_init.  Checked: a line is terminated inside its buffer with no
 * carriage return at its end, a split gives a key and value without outer
 * blanks inside the line, and every text field of the record stays
 * terminated. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "process/cfg.h"
#include "fuzz/targets/fuzz_targets.h"
#include "kor_cfg.h"

#define CFG_FUZZ_PATH "/system/etc/fuzz.cfg"
#define CFG_FUZZ_MAX_CAP 128

#define CHECK(cond) KORV_FUZZ_CHECK("cfg", cond)

static bool inside(const char *p, const char *start, size_t len) { return p >= start && p <= start + len; }

static void check_split(char *line)
{
    size_t len = strlen(line);
    std::vector<char> before(line, line + len + 1);
    char *key = NULL;
    char *value = NULL;
    char first = before[strspn(before.data(), " ")];

    if (cfg_parse_line(line, &key, &value) != 0) {
        CHECK(first == '#' || strchr(before.data(), '=') == NULL);
        return;
    }
    CHECK(first != '#' && strchr(before.data(), '=') != NULL);
    CHECK(inside(key, line, len) && inside(value, line, len) && key < value);
    CHECK(strchr(key, '=') == NULL);
    CHECK(key[0] != ' ' && value[0] != ' ');
    CHECK(key[0] == '\0' || key[strlen(key) - 1] != ' ');
    CHECK(value[0] == '\0' || value[strlen(value) - 1] != ' ');
}

static void read_lines(const uint8_t *data, size_t size)
{
    size_t cap = data[0] % CFG_FUZZ_MAX_CAP + 1;
    std::vector<char> text(data, data + size);
    FILE *fp = fmemopen(text.data(), size, "r");
    if (fp == NULL) abort();
    std::vector<char> buf(cap);
    size_t calls = 0;
    int eof = 0;
    while (!eof) {
        size_t length = 0;
        CHECK(cfg_read_line(fp, buf.data(), cap, &length, &eof) == 0);
        CHECK(length < cap && length == strlen(buf.data()));
        CHECK(length == 0 || buf[length - 1] != '\r');
        /* Each call consumes at least one character or meets the end. */
        CHECK(++calls <= size + 1);
        check_split(buf.data());
    }
    fclose(fp);
}

static bool terminated(const char *field, size_t size) { return memchr(field, '\0', size) != NULL; }

static void load_file(const uint8_t *data, size_t size)
{
    FILE *fp = fopen(korv_fuzz_path(CFG_FUZZ_PATH).c_str(), "w");
    if (fp == NULL || fwrite(data, 1, size, fp) != size || fclose(fp) != 0) abort();
    CHECK(cfg_init(CFG_FUZZ_PATH) == 0);
    const bw_hqs_cfg_st &c = g_bw_hqs_cfg;
    CHECK(terminated(c.nvupdate_dev_name, sizeof c.nvupdate_dev_name));
    CHECK(terminated(c.amt_file, sizeof c.amt_file));
    CHECK(terminated(c.sysconfig_da_file, sizeof c.sysconfig_da_file));
    CHECK(terminated(c.sysconfig_ma_file, sizeof c.sysconfig_ma_file));
    CHECK(terminated(c.user_data_file, sizeof c.user_data_file));
}

static int cfg_fuzz_one(const uint8_t *data, size_t size)
{
    /* An empty memory stream cannot be opened; an empty file is loaded. */
    if (size > 0) read_lines(data, size);
    load_file(data, size);
    return 0;
}

const korv_fuzz_target korv_fuzz_cfg = {"cfg", NULL, cfg_fuzz_one};
