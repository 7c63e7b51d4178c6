/* korvctl: looks inside a running korv over its control socket.
 *   korvctl [--root DIR] status [--json]
 *   korvctl [--root DIR] log level [error|flow]
 *   korvctl [--root DIR] capture start NAME
 *   korvctl [--root DIR] capture stop [--copy-to PATH]
 * docs/korvctl.md is the manual; exit status 0, 1 when korv cannot be
 * reached or refuses, 2 for a usage error. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "korvctl.h"

namespace {

constexpr int k_usage = 2;

int usage(FILE *out, int rc) {
    fprintf(out,
            "usage: korvctl [--root DIR] status [--json]\n"
            "       korvctl [--root DIR] log level [error|flow]\n"
            "       korvctl [--root DIR] capture start NAME\n"
            "       korvctl [--root DIR] capture stop [--copy-to PATH]\n"
            "  the socket is /dev/socket/korv, below DIR (default: KORV_ROOT) when given.\n"
            "  --copy-to PATH: a copy of the finished capture, written as you.\n");
    return rc;
}

/* Asks korv and reads the answer; 0, or 1 (2 for korv's usage answer)
 * after saying what went wrong and what to do. */
int ask(const std::string &root, const std::string &request, std::string *text, korvctl_json *answer) {
    std::string err, path = korvctl_socket_path(root);
    int connect_errno = 0;
    if (korvctl_ask(path, request, text, &err, 5000, &connect_errno) != 0) {
        std::string advice = korvctl_connect_advice(root, path, connect_errno);
        fprintf(stderr, "korvctl: %s\n%s", err.c_str(), advice.empty() ? "" : ("korvctl: " + advice).c_str());
        return 1;
    }
    if (korvctl_json_parse(*text, answer, &err) != 0 || answer->kind != korvctl_json::object_v) {
        fprintf(stderr, "korvctl: korv's answer is no JSON object: %s\n", err.c_str());
        return 1;
    }
    const korvctl_json &error = (*answer)["error"];
    if (error.kind != korvctl_json::string_v) return 0;
    fprintf(stderr, "korvctl: korv answered: %s\n", korvctl_printable(error.text).c_str());
    return error.text.rfind("usage", 0) == 0 ? k_usage : 1;
}

/* Copies the capture at its device path (below root) to `to` as the
 * caller; 0, or 1 after saying why. */
int copy_capture(const std::string &root, const std::string &device_path, const std::string &to) {
    std::string from = root + device_path;
    std::ifstream in(from, std::ios::binary);
    if (!in.is_open()) {
        fprintf(stderr, "korvctl: cannot read %s: %s\n", from.c_str(), strerror(errno));
        return 1;
    }
    std::stringstream bytes;
    bytes << in.rdbuf();
    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    out << bytes.str();
    out.close();
    if (!out) {
        fprintf(stderr, "korvctl: cannot write %s: %s\n", to.c_str(), strerror(errno));
        return 1;
    }
    return 0;
}

int status(const std::string &root, bool json) {
    std::string text;
    korvctl_json answer;
    int rc = ask(root, "status", &text, &answer);
    if (rc != 0) return rc;
    if (json)
        printf("%s\n", text.c_str());
    else
        korvctl_print_status(stdout, answer);
    return 0;
}

int log_level(const std::string &root, const std::vector<std::string> &words) {
    if (words.size() == 3 && words[2] != "error" && words[2] != "flow") {
        fprintf(stderr, "korvctl: unknown level %s: the levels are error and flow\n",
                korvctl_printable(words[2]).c_str());
        return usage(stderr, k_usage);
    }
    std::string text;
    korvctl_json answer;
    int rc = ask(root, words.size() == 3 ? "log level " + words[2] : "log level", &text, &answer);
    if (rc == 0) printf("%s\n", korvctl_printable(answer["level"].text).c_str());
    return rc;
}

int capture_start(const std::string &root, const std::string &name) {
    std::string text;
    korvctl_json answer;
    int rc = ask(root, "capture start " + name, &text, &answer);
    if (rc == 0) printf("%s\n", korvctl_printable(answer["file"].text).c_str());
    return rc;
}

/* A capture that failed is stopped too: its path goes to standard output,
 * the failure to standard error, and the exit status is 1. */
int capture_stop(const std::string &root, const std::string &copy_to) {
    std::string text;
    korvctl_json answer;
    int rc = ask(root, "capture stop", &text, &answer);
    const std::string &file = answer["file"].text;
    if (!file.empty()) printf("%s\n", korvctl_printable(file).c_str());
    if (rc == 0 && !copy_to.empty()) rc = copy_capture(root, file, copy_to);
    return rc;
}

} // namespace

int main(int argc, char **argv) {
    const char *env_root = getenv("KORV_ROOT");
    std::string root = env_root ? env_root : "", copy_to;
    std::vector<std::string> words;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--root") == 0 && i + 1 < argc)
            root = argv[++i];
        else if (strcmp(argv[i], "--copy-to") == 0 && i + 1 < argc)
            copy_to = argv[++i];
        else if (strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0)
            return usage(stdout, 0);
        else
            words.push_back(argv[i]);
    }
    bool json = words.size() == 2 && words[1] == "--json";
    bool capture = words.size() >= 2 && words[0] == "capture";
    if (!copy_to.empty() && !(capture && words.size() == 2 && words[1] == "stop")) return usage(stderr, k_usage);
    if (!words.empty() && words[0] == "status" && (words.size() == 1 || json)) return status(root, json);
    if (words.size() >= 2 && words.size() <= 3 && words[0] == "log" && words[1] == "level")
        return log_level(root, words);
    if (capture && words.size() == 3 && words[1] == "start") return capture_start(root, words[2]);
    if (capture && words.size() == 2 && words[1] == "stop") return capture_stop(root, copy_to);
    return usage(stderr, k_usage);
}
