/* Line reader of the waveforms' ini files (load_config.ini, wf_config.ini):
 * hands back each line that still holds text once blanks and the file's
 * comments are taken off.  Stateless; the caller owns the file and buffer. */
#include <string.h>

#include "nvram/nvram_int.h"

/* Returns the text of one line, or NULL when the line holds none. */
static char *nvram_ini_prepare(char *line, char comment)
{
    char *text = line;
    while (*text == ' ')
        text++;
    if (*text == comment)
        return NULL;
    char *cut = strchr(text, comment);
    if (cut != NULL)
        *cut = '\0';
    size_t n = strlen(text);
    /* '#' goes with the trailing blanks in both files. */
    while (n > 0 && (text[n - 1] == ' ' || text[n - 1] == '#' || text[n - 1] == '\n'))
        text[--n] = '\0';
    return n > 0 ? text : NULL;
}

char *nvram_ini_next(FILE *fp, char comment, char *line, size_t cap)
{
    for (;;) {
        memset(line, 0, cap);
        if (fgets(line, (int)cap, fp) == NULL)
            return NULL;
        char *text = nvram_ini_prepare(line, comment);
        if (text != NULL)
            return text;
    }
}
