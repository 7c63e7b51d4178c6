/* korvctl: looks inside a running korv over its control socket.
 *   korvctl [--root DIR] status [--json]
 *   korvctl [--root DIR] log level [error|flow]
 *   korvctl [--root DIR] capture start NAME | capture stop
 * docs/korvctl.md is the manual. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "korvctl.h"

static int usage(FILE *out, int rc)
{
    fprintf(out,
            "usage: korvctl [--root DIR] status [--json]\n"
            "       korvctl [--root DIR] log level [error|flow]\n"
            "       korvctl [--root DIR] capture start NAME\n"
            "       korvctl [--root DIR] capture stop\n"
            "  the socket is /dev/socket/korv, below DIR (default: KORV_ROOT) when given.\n");
    return rc;
}

/* Asks korv and reads the answer; 0, or 1 after saying what went wrong. */
static int ask(const std::string &root, const std::string &request, std::string *text, korvctl_json *answer)
{
    std::string err;
    if (korvctl_ask(korvctl_socket_path(root), request, text, &err) != 0 ||
        korvctl_json_parse(*text, answer, &err) != 0) {
        fprintf(stderr, "korvctl: %s\n", err.c_str());
        return 1;
    }
    if (answer->kind != korvctl_json::object_v || (*answer)["error"].kind == korvctl_json::string_v) {
        fprintf(stderr, "korvctl: korv answered: %s\n", (*answer)["error"].text.c_str());
        return 1;
    }
    return 0;
}

int main(int argc, char **argv)
{
    const char *env_root = getenv("KORV_ROOT");
    std::string root = env_root ? env_root : "";
    std::vector<std::string> words;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--root") == 0 && i + 1 < argc)
            root = argv[++i];
        else if (strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0)
            return usage(stdout, 0);
        else
            words.push_back(argv[i]);
    }
    std::string text;
    korvctl_json answer;
    bool json = words.size() == 2 && words[1] == "--json";
    if (!words.empty() && words[0] == "status" && (words.size() == 1 || json)) {
        if (ask(root, "status", &text, &answer) != 0)
            return 1;
        if (json)
            printf("%s\n", text.c_str());
        else
            korvctl_print_status(stdout, answer);
        return 0;
    }
    if (words.size() >= 2 && words.size() <= 3 && words[0] == "log" && words[1] == "level") {
        std::string request = words.size() == 3 ? "log level " + words[2] : "log level";
        if (ask(root, request, &text, &answer) != 0)
            return 1;
        printf("%s\n", answer["level"].text.c_str());
        return 0;
    }
    bool start = words.size() == 3 && words[0] == "capture" && words[1] == "start";
    if (start || (words.size() == 2 && words[0] == "capture" && words[1] == "stop")) {
        if (ask(root, start ? "capture start " + words[2] : "capture stop", &text, &answer) != 0)
            return 1;
        printf("%s\n", answer["file"].text.c_str());
        return 0;
    }
    return usage(stderr, 2);
}
