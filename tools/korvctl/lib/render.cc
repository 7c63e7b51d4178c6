// The status answer for people: one aligned line per part, a line per
// waveform.  Reads only the names korv's status answer gives.
#include <string>

#include "korvctl.h"

namespace {

constexpr int k_label = 12;

void line(FILE *out, const char *label, const std::string &text) {
    fprintf(out, "%-*s%s\n", k_label, label, text.c_str());
}

std::string num(const korvctl_json &v) { return v.kind == korvctl_json::number_v ? v.text : "-"; }

std::string hex(const korvctl_json &v) {
    char b[32];
    snprintf(b, sizeof b, "0x%llx", static_cast<unsigned long long>(v.as_int()));
    return b;
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
             num(w["wf_id"]) + " " + w["name"].text + "  " + w["path"].text + "/" + w["nv_file"].text);
        first = false;
    }
}

std::string channels(const korvctl_json &list) {
    std::string names;
    for (const korvctl_json &c : list.items) names += (names.empty() ? "" : " ") + c.text;
    return names.empty() ? "no channels" : "channels " + names;
}

std::string capture_text(const korvctl_json &c) {
    std::string figures = num(c["records"]) + " records, " + num(c["bytes"]) + " bytes, " + num(c["lost"]) + " lost";
    std::string limit = c["limit_reached"].boolean ? " (stopped itself at 64 MiB)" : "";
    if (c["file"].kind == korvctl_json::string_v) return c["file"].text + ", " + figures;
    return "none running; last " + figures + limit;
}

} // namespace

void korvctl_print_status(FILE *out, const korvctl_json &s) {
    const korvctl_json &modem = s["modem"], &nv = s["nvram"], &exc = s["exception"];
    line(out, "korv", s["version"].text + ", pid " + num(s["pid"]) + ", up " + num(s["uptime_ms"]) + " ms");
    line(out, "modem", modem["state"].text + ", NVRAM cache " + hex(modem["nvram_cache"]["base"]) + " size " +
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
    std::string last = exc["last_type"].kind == korvctl_json::number_v ? ", last type " + exc["last_type"].text : "";
    line(out, "exception", exc["state"].text + ", " + num(exc["count"]) + " so far" + last);
    line(out, "log", s["log"]["sink"].text + ", " + num(s["log"]["failed_writes"]) + " failed writes, " +
                         num(s["log"]["dropped_lines"]) + " dropped lines");
}
