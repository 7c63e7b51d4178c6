// The status answer for people: one aligned line per part, a line per
// waveform.  Reads only the names korv's status answer gives; every string
// from korv goes through korvctl_printable, since the framework and the
// files choose its bytes.
#include <string>

#include "korvctl.h"

namespace {

constexpr int k_label = 12;

void line(FILE *out, const char *label, const std::string &text) {
    fprintf(out, "%-*s%s\n", k_label, label, text.c_str());
}

std::string hex_byte(const char *format, unsigned v) {
    char b[16];
    snprintf(b, sizeof b, format, v);
    return b;
}

// Length of the UTF-8 sequence at s[i] and its code point; 0 when the bytes
// there are no well-formed sequence of two or three bytes.
size_t utf8_at(const std::string &s, size_t i, unsigned *cp) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : 0;
    if (n == 0 || i + n > s.size()) return 0;
    *cp = c & (n == 2 ? 0x1F : 0x0F);
    for (size_t k = 1; k < n; k++) {
        unsigned char t = static_cast<unsigned char>(s[i + k]);
        if ((t & 0xC0) != 0x80) return 0;
        *cp = (*cp << 6) | (t & 0x3F);
    }
    return n;
}

// A string from korv, printable.
std::string str(const korvctl_json &v) { return korvctl_printable(v.text); }

std::string num(const korvctl_json &v) { return v.kind == korvctl_json::number_v ? v.text : "-"; }

std::string hex(const korvctl_json &v) {
    char b[32];
    snprintf(b, sizeof b, "0x%llx", static_cast<unsigned long long>(v.as_int()));
    return b;
}

// What set off an exception, by its flag.
std::string exception_cause(const korvctl_json &type) {
    switch (type.as_int()) {
    case 1: return "modem dump record";
    case 2: return "framework request";
    case 4: return "lost framework link or AT time-out";
    default: return "flag " + str(type);
    }
}

std::string link_text(const korvctl_json &l) {
    std::string peer = l["peer_uid"].kind == korvctl_json::number_v ? ", peer uid " + l["peer_uid"].text : "";
    return "port " + num(l["port"]) + (l["connected"].boolean ? " connected" : " not connected") + peer +
           "; records " + num(l["records_in"]) + " in / " + num(l["records_out"]) + " out, bytes " +
           num(l["bytes_in"]) + " / " + num(l["bytes_out"]) + ", " + num(l["bad_records"]) + " bad; " +
           num(l["connects"]) + " connects, " + num(l["refused"]) + " refused";
}

void waveforms(FILE *out, const korvctl_json &list) {
    if (list.items.empty()) line(out, "waveforms", "none");
    bool first = true;
    for (const korvctl_json &w : list.items) {
        line(out, first ? "waveforms" : "",
             num(w["wf_id"]) + " " + str(w["name"]) + "  " + str(w["path"]) + "/" + str(w["nv_file"]));
        first = false;
    }
}

std::string channels(const korvctl_json &list) {
    std::string names;
    for (const korvctl_json &c : list.items) names += (names.empty() ? "" : " ") + str(c);
    return names.empty() ? "no channels" : "channels " + names;
}

std::string capture_text(const korvctl_json &c) {
    std::string figures = num(c["records"]) + " records, " + num(c["bytes"]) + " bytes, " + num(c["lost"]) + " lost";
    std::string limit = c["limit_reached"].boolean ? " (stopped itself at 64 MiB)" : "";
    std::string failed = c["failed"].kind == korvctl_json::string_v ? "; FAILED: " + str(c["failed"]) : "";
    if (c["file"].kind == korvctl_json::string_v) return str(c["file"]) + ", " + figures;
    return "none running; last " + figures + limit + failed;
}

} // namespace

void korvctl_print_status(FILE *out, const korvctl_json &s) {
    const korvctl_json &modem = s["modem"], &nv = s["nvram"], &exc = s["exception"];
    line(out, "korv", str(s["version"]) + ", pid " + num(s["pid"]) + ", up " + num(s["uptime_ms"]) + " ms");
    line(out, "modem", str(modem["state"]) + ", NVRAM cache " + hex(modem["nvram_cache"]["base"]) + " size " +
                           hex(modem["nvram_cache"]["size"]));
    line(out, "work link", link_text(s["links"]["work"]));
    line(out, "nv link", link_text(s["links"]["nv"]));
    line(out, "nvram", num(nv["queued"]) + " queued, " + num(nv["written"]) + " written (" +
                           num(nv["bytes_written"]) + " bytes), " + num(nv["dropped"]) + " dropped, " +
                           num(nv["write_failed"]) + " failed writes, " + num(nv["unknown_commands"]) +
                           " unknown commands, " + num(nv["synced"]) + " synced");
    waveforms(out, s["waveforms"]);
    line(out, "utran", std::string(s["utran"]["started"].boolean ? "started" : "stopped") + ", " +
                           channels(s["utran"]["channels"]));
    line(out, "capture", capture_text(s["capture"]));
    std::string last =
        exc["last_type"].kind == korvctl_json::number_v ? ", the last for a " + exception_cause(exc["last_type"]) : "";
    line(out, "exception", str(exc["state"]) + ", " + num(exc["count"]) + " so far" + last);
    line(out, "log", str(s["log"]["sink"]) + ", " + num(s["log"]["failed_writes"]) + " failed writes, " +
                         num(s["log"]["dropped_lines"]) + " dropped lines");
}

std::string korvctl_printable(const std::string &text) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        unsigned cp = 0;
        size_t n = c >= 0x80 ? utf8_at(text, i, &cp) : 0;
        if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else if (n > 0 && cp >= 0x80) {
            out += cp <= 0xFF ? hex_byte("\\x%02x", cp) : hex_byte("\\u{%04x}", cp);
            i += n;
            continue;
        } else {
            out += hex_byte("\\x%02x", c);
        }
        i++;
    }
    return out;
}
