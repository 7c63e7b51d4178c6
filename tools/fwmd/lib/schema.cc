/* The message catalogue and everything that reads or writes message bodies as
 * text: one table of commands with a body schema each, used to print received
 * messages, to build messages from "key=value" words (CLI, scenarios) and to
 * check the fields of a received message.
 *
 * Schema syntax (one string per command, items separated by blanks):
 *   NAME:u32  NAME:u8  NAME:char[N]   fixed fields
 *   NAME:bytes[REF]                   REF (an earlier u32) bytes
 *   NAME*REF{ ... }                   the items inside, REF times
 *   ?FIELD=VALUE                      the items behind exist only when FIELD
 *                                     (earlier in the same scope) has VALUE */
#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <iterator>
#include <map>

#include "fwmd.h"
#include "kor_msg_cmd.h"

static const fwmd_cmd_info k_cmds[] = {
    {MWRX_WF_CARD_POWERON_REPORT_REQ, "MWRX_WF_CARD_POWERON_REPORT_REQ", FWMD_WORK, true,
     "card_index:u8 vol_type:u8"},
    {MWRX_WF_CARD_POWERON_REPORT_CNF, "MWRX_WF_CARD_POWERON_REPORT_CNF", FWMD_WORK, false, ""},
    {MWRX_WFMGR_WFCFG_IND, "MWRX_WFMGR_WFCFG_IND", FWMD_WORK, true, "size:u32 info:bytes[size]"},
    {MWRX_WFMGR_FW_EXCEPTION_REQ, "MWRX_WFMGR_FW_EXCEPTION_REQ", FWMD_WORK, true, ""},
    {MWRX_WFMGR_FW_EXCEPTION_CNF, "MWRX_WFMGR_FW_EXCEPTION_CNF", FWMD_WORK, false, ""},
    {MWRX_WFMGR_MODEM_EXCEPTION_IND, "MWRX_WFMGR_MODEM_EXCEPTION_IND", FWMD_WORK, false, ""},
    {MWRX_WFMGR_KORGR_WF_TYPE_IND, "MWRX_WFMGR_KORGR_WF_TYPE_IND", FWMD_WORK, true,
     "status:u32 type:u32"},
    {MWRX_WFMGR_TEST_EXCPTINFO_REQ, "MWRX_WFMGR_TEST_EXCPTINFO_REQ", FWMD_WORK, true, ""},
    {MWRX_WFMGR_COMM_PATH_INFO_IND, "MWRX_WFMGR_COMM_PATH_INFO_IND", FWMD_NV, true,
     "selector:u32 wf_id:u32 ?selector=1 wf_name:char[64] wf_path:char[128] nv_file_name:char[64]"},
    {MWRX_WFMGR_NV_MODIFY_IND, "MWRX_WFMGR_NV_MODIFY_IND", FWMD_NV, true,
     "N:u32 entry*N{flag:u32 wf_id:u32 offset:u32 len:u32 data:bytes[len]}"},
    {MWRX_WFMGR_LOAD_REQ, "MWRX_WFMGR_LOAD_REQ", FWMD_NV, true,
     "u32_flag:u32 u32_req_len:u32 u32_read_len:u32 u32_dst_addr:u32 u32_file_len:u32 "
     "u32_filename_len:u32 name:bytes[u32_filename_len]"},
    {MWRX_WFMGR_LOAD_CNF, "MWRX_WFMGR_LOAD_CNF", FWMD_NV, false, "flag:u32 count:u32 reserved:u32"},
};
static const size_t k_ncmds = sizeof(k_cmds) / sizeof(k_cmds[0]);

namespace {

enum kind { K_U32, K_U8, K_CHARS, K_BYTES, K_GROUP };

struct field_def {
    std::string name;
    kind k = K_U32;
    size_t width = 0;      /* K_CHARS */
    std::string ref;       /* K_BYTES: length field; K_GROUP: count field */
    std::string cond;      /* present only when this field ... */
    uint64_t cond_value = 0; /* ... has this value */
    std::vector<field_def> sub; /* K_GROUP */
};
using scope = std::vector<field_def>;

/* The schemas are constants of this file; a malformed one is a bug found by
 * the first message printed, so it stops the program loudly. */
[[noreturn]] void schema_bug(const char *schema, const char *what)
{
    fprintf(stderr, "fwmd: bad body schema \"%s\": %s\n", schema, what);
    abort();
}

std::string take_word(const char *&p)
{
    std::string w;
    while (*p && !isspace((unsigned char)*p) && *p != '{' && *p != '}')
        w += *p++;
    return w;
}

void parse_scope(const char *schema, const char *&p, scope *out, bool in_group)
{
    std::string cond;
    uint64_t cond_value = 0;
    for (;;) {
        while (isspace((unsigned char)*p))
            p++;
        if (*p == '\0' || *p == '}') {
            if ((*p == '}') != in_group)
                schema_bug(schema, "unbalanced braces");
            if (*p)
                p++;
            return;
        }
        std::string w = take_word(p);
        if (w.empty())
            schema_bug(schema, "empty item");
        if (w[0] == '?') {
            size_t eq = w.find('=');
            if (eq == std::string::npos)
                schema_bug(schema, "condition without '='");
            cond = w.substr(1, eq - 1);
            cond_value = strtoull(w.c_str() + eq + 1, nullptr, 0);
            continue;
        }
        field_def s;
        s.cond = cond;
        s.cond_value = cond_value;
        size_t star = w.find('*');
        size_t colon = w.find(':');
        if (star != std::string::npos) {
            if (*p != '{')
                schema_bug(schema, "group without '{'");
            p++;
            s.name = w.substr(0, star);
            s.k = K_GROUP;
            s.ref = w.substr(star + 1);
            parse_scope(schema, p, &s.sub, true);
        } else if (colon != std::string::npos) {
            s.name = w.substr(0, colon);
            std::string t = w.substr(colon + 1);
            size_t lb = t.find('[');
            std::string arg = lb == std::string::npos ? "" : t.substr(lb + 1, t.size() - lb - 2);
            t = t.substr(0, lb);
            if (t == "u32")
                s.k = K_U32;
            else if (t == "u8")
                s.k = K_U8;
            else if (t == "char")
                s.k = K_CHARS, s.width = strtoul(arg.c_str(), nullptr, 10);
            else if (t == "bytes")
                s.k = K_BYTES, s.ref = arg;
            else
                schema_bug(schema, "unknown type");
        } else {
            schema_bug(schema, "item without type");
        }
        out->push_back(s);
    }
}

const scope *schema_of(uint64_t code)
{
    static const std::vector<scope> parsed = [] {
        std::vector<scope> all(k_ncmds);
        for (size_t i = 0; i < k_ncmds; i++) {
            const char *p = k_cmds[i].body;
            parse_scope(k_cmds[i].body, p, &all[i], false);
        }
        return all;
    }();
    for (size_t i = 0; i < k_ncmds; i++)
        if (k_cmds[i].code == code)
            return &parsed[i];
    return nullptr;
}

const field_def *find_def(const scope &sc, const std::string &name)
{
    for (const field_def &s : sc)
        if (s.name == name)
            return &s;
    return nullptr;
}

/* ---- decoding ---- */

uint64_t get_le(const uint8_t *p, size_t width)
{
    uint64_t x = 0;
    for (size_t i = width; i > 0; i--)
        x = (x << 8) | p[i - 1];
    return x;
}

/* false when the body ends inside the scope */
bool decode_scope(const scope &sc, const std::vector<uint8_t> &b, size_t *pos,
                  const std::string &prefix, std::vector<fwmd_field> *out)
{
    std::map<std::string, uint64_t> vals;
    for (const field_def &s : sc) {
        if (!s.cond.empty() && vals[s.cond] != s.cond_value)
            continue;
        if (s.k == K_GROUP) {
            for (uint64_t i = 0; i < vals[s.ref]; i++)
                if (!decode_scope(s.sub, b, pos, prefix + s.name + "[" + std::to_string(i) + "].", out))
                    return false;
            continue;
        }
        size_t need = s.k == K_U32 ? 4 : s.k == K_U8 ? 1 : s.k == K_CHARS ? s.width : 0;
        if (s.k == K_BYTES)
            need = vals[s.ref] > b.size() ? b.size() + 1 : (size_t)vals[s.ref];
        if (b.size() - *pos < need)
            return false;
        fwmd_field f;
        f.name = prefix + s.name;
        if (s.k == K_CHARS || s.k == K_BYTES) {
            f.is_bytes = true;
            f.width = s.width;
            f.bytes.assign(b.begin() + (long)*pos, b.begin() + (long)(*pos + need));
        } else {
            f.num = get_le(b.data() + *pos, need);
            vals[s.name] = f.num;
        }
        *pos += need;
        out->push_back(f);
    }
    return true;
}

/* ---- rendering ---- */

std::string render_num(uint64_t v)
{
    char buf[32];
    snprintf(buf, sizeof buf, v < 65536 ? "%llu" : "0x%llX", (unsigned long long)v);
    return buf;
}

std::string render_hex(const std::vector<uint8_t> &b)
{
    static const char digits[] = "0123456789abcdef";
    std::string s = "hex:";
    for (uint8_t c : b) {
        s += digits[c >> 4];
        s += digits[c & 15];
    }
    return s;
}

/* Text in quotes when the bytes are text (NULs allowed, shown escaped; the
 * padding of a fixed-width field is dropped), else hex.  Either form reads
 * back as the same value. */
std::string render_bytes(const std::vector<uint8_t> &b, bool fixed_width)
{
    size_t n = b.size();
    if (fixed_width)
        while (n > 0 && b[n - 1] == 0)
            n--;
    bool printable = false;
    for (size_t i = 0; i < n; i++) {
        if (b[i] >= 0x20 && b[i] < 0x7f)
            printable = true;
        else if (b[i] != 0)
            return render_hex(b);
    }
    if (n == 0)
        return "\"\"";
    if (!printable)
        return render_hex(b);
    std::string s = "\"";
    for (size_t i = 0; i < n; i++) {
        char esc[8];
        if (b[i] == '"' || b[i] == '\\' || b[i] == 0) {
            snprintf(esc, sizeof esc, "\\x%02x", b[i]);
            s += esc;
        } else {
            s += (char)b[i];
        }
    }
    return s + "\"";
}

std::string render_field(const fwmd_field &f)
{
    return f.is_bytes ? render_bytes(f.bytes, f.width > 0) : render_num(f.num);
}

/* ---- building from text ---- */

using assignments = std::vector<std::pair<std::string, std::string>>;

void put_le(std::vector<uint8_t> &v, uint64_t x, size_t width)
{
    for (size_t i = 0; i < width; i++)
        v.push_back((uint8_t)(x >> (8 * i)));
}

std::string field_list(const scope &sc)
{
    std::string s;
    for (const field_def &f : sc)
        s += (s.empty() ? "" : ", ") + f.name;
    return s.empty() ? "none" : s;
}

/* Fields that another field of the scope names as its length or count: they
 * are derived unless given, and a group entry leaves them out. */
bool is_derived(const scope &sc, const std::string &name)
{
    for (const field_def &s : sc)
        if ((s.k == K_BYTES || s.k == K_GROUP) && s.ref == name)
            return true;
    return false;
}

bool build_scope(const scope &sc, const assignments &given, std::vector<uint8_t> *out,
                 std::string *err);

/* One group entry: its non-derived fields in order, separated by ':'; the
 * last one takes the rest of the text (so "hex:..." data keeps its colon). */
bool build_entry(const field_def &g, const std::string &text, std::vector<uint8_t> *out,
                 std::string *err)
{
    std::vector<std::string> names;
    for (const field_def &s : g.sub)
        if (!is_derived(g.sub, s.name))
            names.push_back(s.name);
    assignments a;
    size_t at = 0;
    for (size_t i = 0; i < names.size(); i++) {
        size_t colon = i + 1 < names.size() ? text.find(':', at) : std::string::npos;
        if (i + 1 < names.size() && colon == std::string::npos) {
            std::string want;
            for (const std::string &n : names)
                want += (want.empty() ? "" : ":") + n;
            *err = g.name + "=" + text + ": expected " + want;
            return false;
        }
        a.push_back({names[i], text.substr(at, colon == std::string::npos ? colon : colon - at)});
        at = colon + 1;
    }
    return build_scope(g.sub, a, out, err);
}

/* The values of one scope as given in text, then converted. */
struct scope_values {
    std::map<std::string, std::vector<std::string>> text; /* several for a group */
    std::map<std::string, uint64_t> num;
    std::map<std::string, std::vector<uint8_t>> bytes;
};

bool collect(const scope &sc, const assignments &given, scope_values *v, std::string *err)
{
    for (const auto &[key, value] : given) {
        const field_def *s = find_def(sc, key);
        if (s == nullptr) {
            *err = "no field '" + key + "' (fields: " + field_list(sc) + ")";
            return false;
        }
        if (s->k != K_GROUP && !v->text[key].empty()) {
            *err = "field '" + key + "' given twice";
            return false;
        }
        v->text[key].push_back(value);
    }
    return true;
}

/* Numbers and byte values from their text; then the lengths and counts that
 * were not given, from the data they describe. */
bool convert(const scope &sc, scope_values *v, std::string *err)
{
    for (const field_def &s : sc) {
        auto it = v->text.find(s.name);
        if (it == v->text.end() || s.k == K_GROUP)
            continue;
        const std::string &t = it->second[0];
        if (s.k == K_U32 || s.k == K_U8) {
            uint64_t max = s.k == K_U32 ? 0xFFFFFFFFu : 0xFFu;
            if (fwmd_parse_number(t, max, &v->num[s.name]) != 0) {
                *err = s.name + "=" + t + ": not a number up to " + std::to_string(max);
                return false;
            }
        } else if (fwmd_parse_bytes(t, &v->bytes[s.name], err) != 0) {
            *err = s.name + "=" + t + ": " + *err;
            return false;
        }
    }
    for (const field_def &s : sc)
        if (!s.ref.empty() && v->text.find(s.ref) == v->text.end())
            v->num[s.ref] = s.k == K_GROUP ? v->text[s.name].size() : v->bytes[s.name].size();
    return true;
}

bool build_scope(const scope &sc, const assignments &given, std::vector<uint8_t> *out,
                 std::string *err)
{
    scope_values v;
    if (!collect(sc, given, &v, err) || !convert(sc, &v, err))
        return false;
    for (const field_def &s : sc) {
        if (!s.cond.empty() && v.num[s.cond] != s.cond_value) {
            if (!v.text[s.name].empty()) {
                *err = "field '" + s.name + "' needs " + s.cond + "=" + std::to_string(s.cond_value);
                return false;
            }
            continue;
        }
        std::vector<uint8_t> &b = v.bytes[s.name];
        if (s.k == K_U32 || s.k == K_U8) {
            put_le(*out, v.num[s.name], s.k == K_U32 ? 4 : 1);
        } else if (s.k == K_CHARS || s.k == K_BYTES) {
            if (s.k == K_CHARS)
                b.resize(s.width, 0);
            out->insert(out->end(), b.begin(), b.end());
        } else {
            for (const std::string &entry : v.text[s.name])
                if (!build_entry(s, entry, out, err))
                    return false;
        }
    }
    return true;
}

/* "hdr.X" always names a header field; a plain header name does so unless
 * the body has a top-level field of that name. */
bool header_key(const scope *sc, const std::string &key, std::string *field)
{
    static const char *names[] = {"wf_id", "src", "dst", "len", "body_len"};
    std::string k = key.compare(0, 4, "hdr.") == 0 ? key.substr(4) : key;
    bool explicit_hdr = k.size() != key.size();
    for (const char *n : names) {
        if (k == n && (explicit_hdr || sc == nullptr || find_def(*sc, k) == nullptr)) {
            *field = k;
            return true;
        }
    }
    return false;
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = (char)tolower((unsigned char)c);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

bool starts_with(const std::string &s, const char *prefix)
{
    return s.compare(0, strlen(prefix), prefix) == 0;
}

int parse_hex(const std::string &t, std::vector<uint8_t> *out, std::string *err)
{
    int hi = -1;
    for (char c : t) {
        if (isspace((unsigned char)c) || c == '_')
            continue;
        int d = hex_digit(c);
        if (d < 0) {
            *err = std::string("bad hex digit '") + c + "'";
            return -1;
        }
        if (hi < 0) {
            hi = d;
        } else {
            out->push_back((uint8_t)(hi << 4 | d));
            hi = -1;
        }
    }
    if (hi >= 0) {
        *err = "odd number of hex digits";
        return -1;
    }
    return 0;
}

int parse_text(const std::string &t, std::vector<uint8_t> *out, std::string *err)
{
    for (size_t i = 0; i < t.size(); i++) {
        if (t[i] != '\\') {
            out->push_back((uint8_t)t[i]);
            continue;
        }
        char e = i + 1 < t.size() ? t[++i] : '\0';
        if (e == 'x' && i + 2 < t.size() && hex_digit(t[i + 1]) >= 0 && hex_digit(t[i + 2]) >= 0) {
            out->push_back((uint8_t)(hex_digit(t[i + 1]) << 4 | hex_digit(t[i + 2])));
            i += 2;
        } else if (e == 'n' || e == 't' || e == '0' || e == '\\') {
            out->push_back(e == 'n' ? '\n' : e == 't' ? '\t' : e == '0' ? 0 : '\\');
        } else {
            *err = "bad escape in \"" + t + "\" (\\xHH, \\n, \\t, \\0, \\\\)";
            return -1;
        }
    }
    return 0;
}

}  // namespace

const fwmd_cmd_info *fwmd_cmd_table(size_t *count)
{
    *count = k_ncmds;
    return k_cmds;
}

const fwmd_cmd_info *fwmd_cmd_find(uint64_t msg_cmd)
{
    for (const fwmd_cmd_info &c : k_cmds)
        if (c.code == msg_cmd)
            return &c;
    return nullptr;
}

const char *fwmd_cmd_name(uint64_t msg_cmd)
{
    const fwmd_cmd_info *c = fwmd_cmd_find(msg_cmd);
    return c ? c->name : nullptr;
}

int fwmd_channel_of(const std::string &name)
{
    return name == "work" ? FWMD_WORK : name == "nv" ? FWMD_NV : -1;
}

const char *fwmd_channel_name(int channel)
{
    return channel == FWMD_WORK ? "work" : channel == FWMD_NV ? "nv" : nullptr;
}

int fwmd_decode_fields(const fwmd_msg &msg, std::vector<fwmd_field> *out,
                       std::vector<uint8_t> *extra)
{
    const scope *sc = schema_of(msg.msg_cmd);
    size_t pos = 0;
    bool whole = sc == nullptr || decode_scope(*sc, msg.body, &pos, "", out);
    if (extra != nullptr)
        extra->assign(msg.body.begin() + (long)pos, msg.body.end());
    return whole ? 0 : -1;
}

std::string fwmd_render_field(const fwmd_field &f)
{
    return render_field(f);
}

std::string fwmd_format(const fwmd_msg &msg)
{
    const char *name = fwmd_cmd_name(msg.msg_cmd);
    char head[200];
    char code[24];
    snprintf(code, sizeof code, "0x%08llX", (unsigned long long)msg.msg_cmd);
    snprintf(head, sizeof head, "%s [len:%llu wf_id:%s src:%u dst:%u body_len:%llu]",
             name ? name : code, (unsigned long long)msg.len, render_num(msg.wf_id).c_str(),
             (unsigned)msg.src, (unsigned)msg.dst, (unsigned long long)msg.body_len);
    std::string s = head;
    std::vector<fwmd_field> fields;
    std::vector<uint8_t> extra;
    int whole = fwmd_decode_fields(msg, &fields, &extra);
    for (const fwmd_field &f : fields)
        s += " " + f.name + "=" + render_field(f);
    if (whole != 0)
        s += " (body ends early)";
    if (!extra.empty())
        s += std::string(name ? " extra=" : " body=") + render_hex(extra);
    return s;
}

int fwmd_tokenize(const std::string &line, std::vector<std::string> *words, std::string *err)
{
    words->clear();
    std::string cur;
    bool in_word = false, quoted = false;
    for (size_t i = 0; i < line.size(); i++) {
        char c = line[i];
        if (quoted) {
            if (c == '\\' && i + 1 < line.size() && line[i + 1] == '"')
                cur += line[++i];
            else if (c == '"')
                quoted = false;
            else
                cur += c;
        } else if (isspace((unsigned char)c)) {
            if (in_word)
                words->push_back(cur);
            cur.clear();
            in_word = false;
        } else if (c == '#' && !in_word) {
            break;
        } else {
            quoted = c == '"';
            if (!quoted)
                cur += c;
            in_word = true;
        }
    }
    if (quoted) {
        *err = "unterminated quote";
        return -1;
    }
    if (in_word)
        words->push_back(cur);
    return 0;
}

int fwmd_parse_number(const std::string &text, uint64_t max, uint64_t *out)
{
    bool neg = !text.empty() && text[0] == '-';
    std::string t = neg ? text.substr(1) : text;
    if (t.empty() || !isalnum((unsigned char)t[0]))
        return -1;
    char *end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(t.c_str(), &end, starts_with(t, "0x") || starts_with(t, "0X") ? 16 : 10);
    if (errno != 0 || *end != '\0')
        return -1;
    if (neg) {
        if (v > max / 2 + 1)
            return -1;
        v = (~v + 1) & max;
    } else if (v > max) {
        return -1;
    }
    *out = v;
    return 0;
}

int fwmd_parse_bytes(const std::string &text, std::vector<uint8_t> *out, std::string *err)
{
    static const struct {
        const char *prefix;
        size_t width;
    } ints[] = {{"u8:", 1}, {"u16:", 2}, {"u32:", 4}, {"u64:", 8}};
    out->clear();
    if (starts_with(text, "hex:"))
        return parse_hex(text.substr(4), out, err);
    for (const auto &in : ints) {
        if (!starts_with(text, in.prefix))
            continue;
        uint64_t v;
        uint64_t max = in.width == 8 ? ~0ull : (1ull << (8 * in.width)) - 1;
        if (fwmd_parse_number(text.substr(strlen(in.prefix)), max, &v) != 0) {
            *err = "bad number in '" + text + "'";
            return -1;
        }
        put_le(*out, v, in.width);
        return 0;
    }
    if (starts_with(text, "file:")) {
        std::ifstream f(text.substr(5), std::ios::binary);
        if (!f) {
            *err = "cannot read " + text.substr(5);
            return -1;
        }
        out->assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
        return 0;
    }
    return parse_text(text, out, err);
}

/* A header key of message text: only the fields a sender chooses. */
static int set_header(fwmd_msg *msg, const std::string &field, const std::string &key,
                      const std::string &value, std::string *err)
{
    if (field == "len" || field == "body_len") {
        *err = "'" + key + "' is filled in when the message is sent";
        return -1;
    }
    uint64_t v = 0, max = field == "wf_id" ? ~0ull : 0xFFFFu;
    if (fwmd_parse_number(value, max, &v) != 0) {
        *err = key + "=" + value + ": not a number up to " + std::to_string(max);
        return -1;
    }
    if (field == "wf_id")
        msg->wf_id = v;
    else
        (field == "src" ? msg->src : msg->dst) = (uint16_t)v;
    return 0;
}

static int parse_command(const std::string &word, uint64_t *code, std::string *err)
{
    for (const fwmd_cmd_info &c : k_cmds) {
        if (word == c.name) {
            *code = c.code;
            return 0;
        }
    }
    if (fwmd_parse_number(word, ~0ull, code) == 0)
        return 0;
    *err = "unknown command '" + word + "'";
    return -1;
}

int fwmd_parse_message(const std::vector<std::string> &words, int *channel, fwmd_msg *msg,
                       std::string *err)
{
    if (words.size() < 2) {
        *err = "expected CHANNEL COMMAND [key=value ...]";
        return -1;
    }
    *channel = fwmd_channel_of(words[0]);
    if (*channel < 0) {
        *err = "unknown channel '" + words[0] + "' (work or nv)";
        return -1;
    }
    *msg = fwmd_msg();
    msg->src = 1;
    msg->dst = 2;
    if (parse_command(words[1], &msg->msg_cmd, err) != 0)
        return -1;
    const scope *sc = schema_of(msg->msg_cmd);
    assignments body;
    bool raw_body = false;
    for (size_t i = 2; i < words.size(); i++) {
        size_t eq = words[i].find('=');
        if (eq == std::string::npos || eq == 0) {
            *err = "expected key=value, got '" + words[i] + "'";
            return -1;
        }
        std::string key = words[i].substr(0, eq), value = words[i].substr(eq + 1), hf;
        if (header_key(sc, key, &hf)) {
            if (set_header(msg, hf, key, value, err) != 0)
                return -1;
        } else if (key == "body") {
            if (fwmd_parse_bytes(value, &msg->body, err) != 0)
                return -1;
            raw_body = true;
        } else {
            body.push_back({key, value});
        }
    }
    if (!body.empty() && (raw_body || sc == nullptr)) {
        *err = raw_body ? "body= replaces the whole body; no other body field may be given"
                        : "command " + words[1] + " has no known fields; give its body as body=hex:...";
        return -1;
    }
    if (raw_body || sc == nullptr)
        return 0;
    if (!build_scope(*sc, body, &msg->body, err)) {
        *err = words[1] + ": " + *err;
        return -1;
    }
    return 0;
}

int fwmd_parse_message_line(const std::string &line, int *channel, fwmd_msg *msg,
                            std::string *err)
{
    std::vector<std::string> words;
    if (fwmd_tokenize(line, &words, err) != 0)
        return -1;
    return fwmd_parse_message(words, channel, msg, err);
}

static int check_header(const fwmd_msg &msg, const std::string &field, const std::string &want,
                        std::string *seen)
{
    uint64_t v = field == "wf_id" ? msg.wf_id
                 : field == "src" ? msg.src
                 : field == "dst" ? msg.dst
                 : field == "len" ? msg.len
                                  : msg.body_len;
    uint64_t w;
    *seen = render_num(v);
    return fwmd_parse_number(want, ~0ull, &w) == 0 && w == v ? 1 : 0;
}

int fwmd_check_field(const fwmd_msg &msg, const std::string &key, const std::string &want,
                     std::string *seen)
{
    const scope *sc = schema_of(msg.msg_cmd);
    std::string hf;
    if (header_key(sc, key, &hf))
        return check_header(msg, hf, want, seen);
    std::string top = key.substr(0, key.find_first_of("[."));
    if (sc == nullptr || find_def(*sc, top) == nullptr)
        return -1;
    std::vector<fwmd_field> fields;
    fwmd_decode_fields(msg, &fields, nullptr);
    for (const fwmd_field &f : fields) {
        if (f.name != key)
            continue;
        *seen = render_field(f);
        if (!f.is_bytes) {
            uint64_t w;
            return fwmd_parse_number(want, ~0ull, &w) == 0 && w == f.num ? 1 : 0;
        }
        std::vector<uint8_t> w;
        std::string err;
        if (fwmd_parse_bytes(want, &w, &err) != 0)
            return 0;
        if (f.width > 0)
            w.resize(f.width, 0);
        return w == f.bytes ? 1 : 0;
    }
    *seen = "(absent)";
    return 0;
}
