/* Fuzz target "ini": the line preparation of the waveforms' ini files on
 * arbitrary text.  Byte 0 picks the file kind (bit 0: "wf_config.ini" with
 * ';' comments, else "load_config.ini" with '#') and the line buffer (bit 1:
 * the loader's 2048 bytes, else 2 to 65 bytes, so that long lines reach the
 * reader in pieces); the rest is the file.
 *
 * Checked: every line handed back lies in the buffer, is not empty, starts
 * with no blank, holds no comment character and ends in none of the
 * characters that are trimmed; and reading ends. */
#include <stdio.h>
#include <string.h>

#include <vector>

#include "fuzz/targets/fuzz_targets.h"
#include "nvram/nvram_int.h"

#define CHECK(cond) KORV_FUZZ_CHECK("ini", cond)
#define INI_LOADER_LINE 2048

static int ini_fuzz_one(const uint8_t *data, size_t size)
{
    /* An empty memory stream cannot be opened. */
    if (size < 2) return 0;
    char comment = data[0] & 1 ? ';' : '#';
    size_t cap = data[0] & 2 ? INI_LOADER_LINE : (size_t)(data[0] >> 2) + 2;
    std::vector<char> file(data + 1, data + size);
    FILE *fp = fmemopen(file.data(), file.size(), "r");
    if (fp == NULL) abort();

    std::vector<char> line(cap);
    size_t lines = 0;
    for (char *text; (text = nvram_ini_next(fp, comment, line.data(), cap)) != NULL;) {
        size_t n = strlen(text);
        CHECK(text >= line.data() && text + n < line.data() + cap);
        CHECK(n > 0 && text[0] != ' ' && strchr(text, comment) == NULL);
        CHECK(strchr(" #\n", text[n - 1]) == NULL);
        CHECK(++lines <= file.size());
    }
    fclose(fp);
    return 0;
}

const korv_fuzz_target korv_fuzz_ini = {"ini", NULL, ini_fuzz_one};
