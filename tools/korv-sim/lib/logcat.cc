// korv-sim logcat (see logcat.h).  The buffer is outside input: every length
// is checked against what is left before it is used.
#include "logcat.h"

#include <string.h>
#include <time.h>

#include <fstream>
#include <sstream>

#include "radio_log.h"

namespace korvsim {
namespace {

constexpr size_t k_head = sizeof(radio_log_head_st);

char priority_letter(unsigned char prio) {
    static const char letters[] = "??VDIWEFS";
    return prio < sizeof letters - 1 ? letters[prio] : '?';
}

// The tag is appended apart: a tag as long as the buffer allows must not cut
// the ": " that ends the prefix.
std::string line_prefix(const radio_log_head_st &h, unsigned char prio, const std::string &tag) {
    time_t secs = static_cast<time_t>(h.sec);
    struct tm tm {};
    localtime_r(&secs, &tm);
    char buf[64];
    snprintf(buf, sizeof buf, "%02d-%02d %02d:%02d:%02d.%03u %5d %5d %c ", tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
             tm.tm_min, tm.tm_sec, h.nsec / 1000000 % 1000, h.pid, h.tid, priority_letter(prio));
    std::string prefix = buf + tag;
    if (tag.size() < 8) prefix.append(8 - tag.size(), ' ');
    return prefix + ": ";
}

/* One entry's payload: priority, tag, NUL, text, NUL; false when it is not. */
bool render_entry(const radio_log_head_st &h, const char *p, std::vector<std::string> *lines) {
    if (h.payload < 3 || p[h.payload - 1] != '\0') return false;
    const char *tag = p + 1;
    const char *tag_end = static_cast<const char *>(memchr(tag, '\0', h.payload - 1));
    if (tag_end == p + h.payload - 1) return false;
    std::string prefix = line_prefix(h, static_cast<unsigned char>(p[0]), std::string(tag, tag_end));
    std::istringstream text(std::string(tag_end + 1));
    std::string line;
    bool any = false;
    while (std::getline(text, line)) {
        lines->push_back(prefix + line);
        any = true;
    }
    if (!any) lines->push_back(prefix);
    return true;
}

}  // namespace

std::string logcat_buffer_path(const std::string &root, const std::string &name) {
    return root + RADIO_LOG_DIR "/" + name;
}

size_t logcat_render(const std::string &data, std::vector<std::string> *lines, bool *bad) {
    size_t at = 0;
    *bad = false;
    while (data.size() - at >= k_head) {
        radio_log_head_st h;
        memcpy(&h, data.data() + at, k_head);
        if (h.payload > RADIO_LOG_PAYLOAD_MAX) {
            *bad = true;
            break;
        }
        if (data.size() - at - k_head < h.payload) break;
        if (!render_entry(h, data.data() + at + k_head, lines)) {
            *bad = true;
            break;
        }
        at += k_head + h.payload;
    }
    return at;
}

int logcat_print(const std::string &root, const std::string &name, FILE *out, std::string *err) {
    if (name.empty() || name.find('/') != std::string::npos) return *err = "no log buffer named " + name, -1;
    std::string path = logcat_buffer_path(root, name);
    std::ifstream in(path, std::ios::binary);
    if (!in) return *err = "no log buffer " + path, -1;
    std::stringstream ss;
    ss << in.rdbuf();
    std::string data = ss.str();
    std::vector<std::string> lines;
    bool bad = false;
    size_t used = logcat_render(data, &lines, &bad);
    for (const auto &l : lines) fprintf(out, "%s\n", l.c_str());
    if (bad) return *err = "malformed entry at byte " + std::to_string(used) + " of " + path, -1;
    return 0;
}

}  // namespace korvsim
