// The JSON reader of korvctl: a recursive descent over the answer text.
// Strings keep \u escapes below 0x80 as the byte and others as UTF-8; no
// state outside the call.
#include <ctype.h>
#include <stdlib.h>

#include "korvctl.h"

namespace {

constexpr int k_max_depth = 32;

struct json_reader {
    const std::string &s;
    size_t at = 0;
    std::string err;

    bool fail(const std::string &what) {
        if (err.empty()) err = what + " at offset " + std::to_string(at);
        return false;
    }
    void blanks() {
        while (at < s.size() && (s[at] == ' ' || s[at] == '\t' || s[at] == '\n' || s[at] == '\r')) at++;
    }
    bool word(const char *w) {
        size_t n = std::char_traits<char>::length(w);
        if (s.compare(at, n, w) != 0) return fail(std::string("expected ") + w);
        at += n;
        return true;
    }
    bool value(korvctl_json *out, int depth);
    bool string(std::string *out);
    bool number(korvctl_json *out);
    bool closes_at_once(char close);
    bool separator(char close, bool *more);
    bool array(korvctl_json *out, int depth);
    bool object(korvctl_json *out, int depth);
};

void put_utf8(std::string *out, unsigned cp) {
    if (cp < 0x80) {
        *out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        *out += static_cast<char>(0xC0 | (cp >> 6));
        *out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *out += static_cast<char>(0xE0 | (cp >> 12));
        *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

bool json_reader::string(std::string *out) {
    at++; // opening quote
    while (at < s.size() && s[at] != '"') {
        unsigned char c = static_cast<unsigned char>(s[at++]);
        if (c < 0x20) return fail("control byte in string");
        if (c != '\\') {
            *out += static_cast<char>(c);
            continue;
        }
        if (at >= s.size()) break;
        char e = s[at++];
        static const std::string plain = "\"\\/", named = "bfnrt", named_to = "\b\f\n\r\t";
        if (plain.find(e) != std::string::npos) {
            *out += e;
        } else if (named.find(e) != std::string::npos) {
            *out += named_to[named.find(e)];
        } else if (e == 'u' && at + 4 <= s.size()) {
            unsigned cp = 0;
            for (size_t i = 0; i < 4; i++) {
                unsigned char h = static_cast<unsigned char>(s[at + i]);
                if (!isxdigit(h)) return fail("bad \\u escape");
                cp = cp * 16 + static_cast<unsigned>(isdigit(h) ? h - '0' : tolower(h) - 'a' + 10);
            }
            put_utf8(out, cp);
            at += 4;
        } else {
            return fail("bad escape");
        }
    }
    if (at >= s.size()) return fail("unterminated string");
    at++;
    return true;
}

bool json_reader::number(korvctl_json *out) {
    size_t start = at;
    if (s[at] == '-') at++;
    size_t digits = at;
    while (at < s.size() && (isdigit(static_cast<unsigned char>(s[at])) || s[at] == '.' || s[at] == 'e' ||
                             s[at] == 'E' || s[at] == '+' || s[at] == '-'))
        at++;
    if (at == digits) return fail("bad value");
    out->kind = korvctl_json::number_v;
    out->text = s.substr(start, at - start);
    return true;
}

/* After the opening bracket: true when the container closes at once. */
bool json_reader::closes_at_once(char close) {
    at++;
    blanks();
    return at < s.size() && s[at] == close ? (at++, true) : false;
}

/* After an element: *more for a comma, not for the closing bracket. */
bool json_reader::separator(char close, bool *more) {
    blanks();
    *more = at < s.size() && s[at] == ',';
    if (*more || (at < s.size() && s[at] == close)) return at++, true;
    return fail(std::string("expected , or ") + close);
}

bool json_reader::array(korvctl_json *out, int depth) {
    out->kind = korvctl_json::array_v;
    bool more = !closes_at_once(']');
    while (more) {
        out->items.emplace_back();
        if (!value(&out->items.back(), depth + 1) || !separator(']', &more)) return false;
    }
    return true;
}

bool json_reader::object(korvctl_json *out, int depth) {
    out->kind = korvctl_json::object_v;
    bool more = !closes_at_once('}');
    while (more) {
        blanks();
        if (at >= s.size() || s[at] != '"') return fail("expected a name");
        out->names.emplace_back();
        out->items.emplace_back();
        if (!string(&out->names.back())) return false;
        blanks();
        if (at >= s.size() || s[at++] != ':') return fail("expected :");
        if (!value(&out->items.back(), depth + 1) || !separator('}', &more)) return false;
    }
    return true;
}

bool json_reader::value(korvctl_json *out, int depth) {
    if (depth > k_max_depth) return fail("nested too deep");
    blanks();
    if (at >= s.size()) return fail("value missing");
    switch (s[at]) {
    case '{': return object(out, depth);
    case '[': return array(out, depth);
    case '"': out->kind = korvctl_json::string_v; return string(&out->text);
    case 't': out->kind = korvctl_json::bool_v; out->boolean = true; return word("true");
    case 'f': out->kind = korvctl_json::bool_v; return word("false");
    case 'n': return word("null");
    default: return number(out);
    }
}

} // namespace

const korvctl_json &korvctl_json::operator[](const std::string &name) const {
    static const korvctl_json none;
    for (size_t i = 0; i < names.size(); i++)
        if (names[i] == name) return items[i];
    return none;
}

int64_t korvctl_json::as_int() const {
    if (kind != number_v) return 0;
    char *end = nullptr;
    long long v = strtoll(text.c_str(), &end, 10);
    return *end == '\0' ? v : 0;
}

int korvctl_json_parse(const std::string &text, korvctl_json *out, std::string *err) {
    json_reader r{text, 0, std::string()};
    *out = korvctl_json{};
    bool ok = r.value(out, 0);
    r.blanks();
    if (ok && r.at != text.size()) ok = r.fail("text after the value");
    if (!ok && err) *err = r.err;
    return ok ? 0 : -1;
}
