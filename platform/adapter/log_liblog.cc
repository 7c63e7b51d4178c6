/* The phone's log sink: each line goes whole to logcat's radio buffer
 * through liblog, tag "korv".  logd stamps time, pid and tid itself, so the
 * text carries none of korv's own prefix; the level becomes the priority.
 * Like the other sinks it takes no lock of its own and allocates nothing (the
 * signal handler's teardown logs through here): the text is built in a stack
 * buffer and handed over in one call, which keeps each line whole and in the
 * order its thread logged it.  Built only with KORV_LOG_LIBLOG. */
#include <stdio.h>

#include <android/log.h>

#include "kor_os.h"
#include "adapter_int.h"

#define LIBLOG_TEXT_MAX 4068 /* what logd keeps of one entry's text */

static int liblog_priority(int level) {
    if (level == KOR_LVL_ERROR) return ANDROID_LOG_ERROR;
    if (level == KOR_LVL_FLOW) return ANDROID_LOG_DEBUG;
    return ANDROID_LOG_INFO;
}

void kor_log_liblog(int level, const char *format, va_list ap) {
    char text[LIBLOG_TEXT_MAX];
    int n = format != NULL ? kor_log_vformat(text, sizeof text, format, ap) : 0;
    size_t len = n < 0 ? 0 : ((size_t)n < sizeof text ? (size_t)n : sizeof text - 1);
    /* logcat ends every entry with its own newline. */
    if (len > 0 && text[len - 1] == '\n') len--;
    text[len] = '\0';
    __android_log_buf_write(LOG_ID_RADIO, liblog_priority(level), "korv", text);
}
