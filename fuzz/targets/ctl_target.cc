/* Fuzz target "ctl": request lines of the control socket.  The input is cut
 * at newlines; each line is split by kro_ctl_request_parse and answered by
 * kro_ctl_answer (status included, on the empty store of this process).
 * Checked: a split's words lie inside the line and hold only printable
 * non-blank bytes; every answer is exactly one line that korvctl's JSON
 * reader takes as one object, with "error" exactly when the request was not
 * one korv knows or korv refused it (a capture's name or state), or a
 * stopped capture's file failed.  The whole
 * input also goes to korvctl's JSON reader, which reads korv's answers on
 * the other side. */
#include <string.h>

#include <string>

#include "ctl/ctl_int.h"
#include "fuzz/targets/fuzz_targets.h"
#include "kor_os.h"
#include "korvctl.h"

#define CHECK(cond) KORV_FUZZ_CHECK("ctl", cond)

static void check_words(const char *line, size_t len, const kro_ctl_request_st *req)
{
    for (int i = 0; i < req->count; i++) {
        CHECK(req->word[i] >= line && req->word[i] + req->word_len[i] <= line + len);
        CHECK(req->word_len[i] > 0);
        for (size_t j = 0; j < req->word_len[i]; j++)
            CHECK(req->word[i][j] > ' ' && req->word[i][j] < 0x7F);
    }
}

static void check_answer(const char *line, size_t len)
{
    kro_ctl_request_st req;
    if (kro_ctl_request_parse(line, len, &req) == 0)
        check_words(line, len, &req);
    kro_ctl_buf_st out = {NULL, 0, 0, 0};
    kro_ctl_answer(line, len, &out);
    CHECK(!out.failed && out.len > 0 && out.data[out.len - 1] == '\n');
    std::string text(out.data, out.len - 1);
    CHECK(text.find('\n') == std::string::npos);
    korvctl_json answer;
    CHECK(korvctl_json_parse(text, &answer, nullptr) == 0);
    CHECK(answer.kind == korvctl_json::object_v);
    const std::string &capture = answer["capture"].text;
    bool known = answer["version"].kind == korvctl_json::string_v || answer["level"].kind == korvctl_json::string_v ||
                 capture == "started" || capture == "stopped";
    bool error = answer["error"].kind == korvctl_json::string_v;
    /* A capture whose file failed is stopped and says why. */
    CHECK(capture == "failed" ? error : known != error);
    kro_ctl_buf_free(&out);
}

static int ctl_fuzz_one(const uint8_t *data, size_t size)
{
    const char *text = (const char *)data;
    for (size_t at = 0; at < size;) {
        const char *nl = (const char *)memchr(text + at, '\n', size - at);
        size_t len = nl ? (size_t)(nl - (text + at)) : size - at;
        if (len <= KRO_CTL_LINE_MAX)
            check_answer(text + at, len);
        at += len + 1;
    }
    korvctl_json value;
    korvctl_json_parse(std::string(text, size), &value, nullptr);
    /* Every line leaves flow lines on, as a new korv has them. */
    tp_os_log_set_level(KOR_LVL_FLOW);
    return 0;
}

const korv_fuzz_target korv_fuzz_ctl = {"ctl", NULL, ctl_fuzz_one};
