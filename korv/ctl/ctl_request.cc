/* Requests of the control socket: a line is split into words and looked up
 * in s_commands, a table of command words and the argument counts they take;
 * a new command is one row and one handler.  Every answer is one JSON object
 * on one line.  No state: runs on the control thread (and in the fuzz
 * target). */
#include <string.h>

#include "capture/capture.h"
#include "ctl/ctl_int.h"
#include "kor_os.h"

typedef struct ctl_command_st {
    const char *words; /* the command's words, one blank between them */
    int min_args;
    int max_args;
    const char *usage;
    /* first: the index of the request's first word after the command's */
    void (*handler)(const kro_ctl_request_st *req, int first, kro_ctl_buf_st *out);
} ctl_command_st;

static void ctl_status(const kro_ctl_request_st *req, int first, kro_ctl_buf_st *out);
static void ctl_log_level(const kro_ctl_request_st *req, int first, kro_ctl_buf_st *out);
static void ctl_capture_start(const kro_ctl_request_st *req, int first, kro_ctl_buf_st *out);
static void ctl_capture_stop(const kro_ctl_request_st *req, int first, kro_ctl_buf_st *out);

static const ctl_command_st s_commands[] = {
    {"status", 0, 0, "status", ctl_status},
    {"log level", 0, 1, "log level [error|flow]", ctl_log_level},
    {"capture start", 1, 1, "capture start NAME", ctl_capture_start},
    {"capture stop", 0, 0, "capture stop", ctl_capture_stop},
};

static int word_is(const kro_ctl_request_st *req, int i, const char *text, size_t len)
{
    return req->word_len[i] == len && memcmp(req->word[i], text, len) == 0;
}

static void answer_error(kro_ctl_buf_st *out, const char *what, const char *usage)
{
    kro_ctl_buf_printf(out, "{\"error\":\"%s%s%s\"}", what, usage ? ": " : "", usage ? usage : "");
}

static void ctl_status(const kro_ctl_request_st *req, int first, kro_ctl_buf_st *out)
{
    (void)req;
    (void)first;
    kro_ctl_status(out);
}

static void ctl_log_level(const kro_ctl_request_st *req, int first, kro_ctl_buf_st *out)
{
    if (first < req->count) {
        int level = word_is(req, first, "error", 5) ? KOR_LVL_ERROR
                    : word_is(req, first, "flow", 4) ? KOR_LVL_FLOW
                                                     : -1;
        if (level < 0) {
            answer_error(out, "unknown level", "log level [error|flow]");
            return;
        }
        tp_os_log_set_level(level);
    }
    kro_ctl_buf_printf(out, "{\"level\":\"%s\"}", tp_os_log_level() == KOR_LVL_ERROR ? "error" : "flow");
}

static void ctl_capture_start(const kro_ctl_request_st *req, int first, kro_ctl_buf_st *out)
{
    char path[128];
    const char *why = NULL;
    if (kro_capture_start(req->word[first], req->word_len[first], path, sizeof(path), &why) != 0) {
        answer_error(out, why, NULL);
        return;
    }
    kro_ctl_buf_printf(out, "{\"capture\":\"started\",\"file\":");
    kro_ctl_buf_json_str(out, path, sizeof(path));
    kro_ctl_buf_printf(out, "}");
}

static void ctl_capture_stop(const kro_ctl_request_st *req, int first, kro_ctl_buf_st *out)
{
    (void)req;
    (void)first;
    char path[128], why[192];
    if (kro_capture_stop(path, sizeof(path), why, sizeof(why)) != 0) {
        answer_error(out, "no capture running", NULL);
        return;
    }
    kro_ctl_buf_printf(out, "{\"capture\":\"%s\",\"file\":", why[0] ? "failed" : "stopped");
    kro_ctl_buf_json_str(out, path, sizeof(path));
    if (why[0] != '\0') {
        kro_ctl_buf_printf(out, ",\"error\":");
        kro_ctl_buf_json_str(out, why, sizeof(why));
    }
    kro_ctl_buf_printf(out, "}");
}

int kro_ctl_request_parse(const char *line, size_t len, kro_ctl_request_st *req)
{
    memset(req, 0, sizeof(*req));
    if (len > 0 && line[len - 1] == '\r')
        len--;
    for (size_t i = 0; i < len;) {
        unsigned char c = (unsigned char)line[i];
        if (c == ' ' || c == '\t') {
            i++;
            continue;
        }
        if (c < 0x21 || c > 0x7E || req->count == KRO_CTL_WORDS_MAX)
            return -1;
        size_t start = i;
        while (i < len && line[i] != ' ' && line[i] != '\t' && (unsigned char)line[i] > 0x20 &&
               (unsigned char)line[i] < 0x7F)
            i++;
        req->word[req->count] = line + start;
        req->word_len[req->count] = i - start;
        req->count++;
    }
    return 0;
}

/* Words of the command that the request starts with; 0 when it does not. */
static int command_match(const ctl_command_st *cmd, const kro_ctl_request_st *req)
{
    const char *w = cmd->words;
    int i = 0;
    for (; *w != '\0'; i++) {
        size_t len = strcspn(w, " ");
        if (i == req->count || !word_is(req, i, w, len))
            return 0;
        w += len + (w[len] == ' ');
    }
    return i;
}

void kro_ctl_answer(const char *line, size_t len, kro_ctl_buf_st *out)
{
    kro_ctl_request_st req;
    const ctl_command_st *found = NULL;
    int words = 0;

    if (kro_ctl_request_parse(line, len, &req) == 0) {
        for (const ctl_command_st &cmd : s_commands) {
            int n = command_match(&cmd, &req);
            if (n > words) {
                found = &cmd;
                words = n;
            }
        }
    }
    if (found == NULL) {
        answer_error(out, "unknown request", NULL);
    } else if (req.count - words < found->min_args || req.count - words > found->max_args) {
        answer_error(out, "usage", found->usage);
    } else {
        found->handler(&req, words, out);
    }
    kro_ctl_buf_printf(out, "\n");
}
