// korvctl's library: asks a running korv over its control socket
// ("/dev/socket/korv", below a root on the simulated phone), reads its JSON
// answers and renders a status for people.
#ifndef KORVCTL_H
#define KORVCTL_H

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <utility>
#include <vector>

// Host path of the control socket below root ("" or "/": the device path).
std::string korvctl_socket_path(const std::string &root);

// Sends one request line and reads the one answer line (without its
// newline), waiting at most timeout_ms (and asking again while korv answers
// busy).  0, or -1 with the reason in *err and, when the connect itself
// failed, its errno in *connect_errno (else 0).
int korvctl_ask(const std::string &socket_path, const std::string &request, std::string *answer,
                std::string *err, int timeout_ms = 5000, int *connect_errno = nullptr);

// One request line sent on the connected fd and the answer line read, within
// timeout_ms; an answer korv wrote before closing is read even when the
// request could not be sent (a busy korv closes at once).  0 or -1 with *err.
int korvctl_exchange(int fd, const std::string &request, int timeout_ms, std::string *answer, std::string *err);

// What to do when the socket at path (below root, "" on a phone) could not
// be connected to with errno err: one or two lines, newline-terminated.
std::string korvctl_connect_advice(const std::string &root, const std::string &path, int err);

// text with every byte outside printable ASCII as \xHH (a backslash as
// \\), so names korv passes on from the framework or from files can
// neither move the terminal's cursor nor forge a line.  Characters the JSON
// reader made from \u00XX escapes (UTF-8, up to U+00FF) become the one byte
// korv escaped; others \u{HHHH}.
std::string korvctl_printable(const std::string &text);

// A JSON value.  Numbers keep their text (korv's counters are 64-bit).
struct korvctl_json {
    enum kind_t { null_v, bool_v, number_v, string_v, array_v, object_v } kind = null_v;
    bool boolean = false;
    std::string text; // a string's value or a number's text
    // An array's values; an object's values, named by the same index in
    // names (a pair of a type still incomplete here would not compile with
    // every standard library).
    std::vector<korvctl_json> items;
    std::vector<std::string> names;

    // The member of that name, or a shared null value.
    const korvctl_json &operator[](const std::string &name) const;
    // A number's value (0 for anything else or out of range).
    int64_t as_int() const;
};

// Reads exactly one JSON value (blanks around it allowed), nesting at most
// 32 deep.  0, or -1 with the reason and offset in *err.
int korvctl_json_parse(const std::string &text, korvctl_json *out, std::string *err);

// The status answer as a few aligned lines.
void korvctl_print_status(FILE *out, const korvctl_json &status);

#endif
