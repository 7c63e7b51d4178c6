/* Scenario parser and player.  Parsing turns every line into a checked step
 * (messages are built, byte values and numbers converted), so a scenario
 * with a typo fails before anything is sent.  Playing runs the steps on the
 * calling thread; waits poll every 10 ms up to their time-out.
 *
 * The play owns, for its duration, a write end of the exception FIFO (unless
 * the caller lends one) and the notification pty it opened. */
#include "scenario.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

namespace {

struct verb_info {
    const char *name;
    fwmd_step_kind kind;
    size_t min_args, max_args; /* words after the verb, within= not counted */
    bool check;                /* may carry a label and a within= */
};

const size_t k_many = 1000;
const verb_info k_verbs[] = {
    {"timeout", FWMD_STEP_TIMEOUT, 1, 1, false},
    {"connect", FWMD_STEP_CONNECT, 1, 1, true},
    {"reconnect", FWMD_STEP_RECONNECT, 1, 1, true},
    {"close", FWMD_STEP_CLOSE, 1, 1, false},
    {"send", FWMD_STEP_SEND, 2, k_many, false},
    {"send-raw", FWMD_STEP_SEND_RAW, 2, k_many, false},
    {"expect", FWMD_STEP_EXPECT, 2, k_many, true},
    {"prop", FWMD_STEP_PROP, 2, 2, true},
    {"journal", FWMD_STEP_JOURNAL, 1, 2, true},
    {"socbridge", FWMD_STEP_SOCBRIDGE, 1, k_many, false},
    {"notify-open", FWMD_STEP_NOTIFY_OPEN, 0, 0, true},
    {"notify", FWMD_STEP_NOTIFY, 1, 1, true},
    {"file", FWMD_STEP_FILE, 3, k_many, true},
    {"sleep", FWMD_STEP_SLEEP, 1, 1, false},
    {"note", FWMD_STEP_NOTE, 1, k_many, false},
};

const verb_info *find_verb(const std::string &w)
{
    for (const verb_info &v : k_verbs)
        if (w == v.name)
            return &v;
    return nullptr;
}

int parse_ms(const std::string &w, uint64_t *out, std::string *err)
{
    if (fwmd_parse_number(w, 0x7FFFFFFF, out) != 0) {
        *err = "'" + w + "' is not a number of milliseconds";
        return -1;
    }
    return 0;
}

int parse_channel(const std::string &w, int *out, std::string *err)
{
    *out = fwmd_channel_of(w);
    if (*out < 0)
        *err = "unknown channel '" + w + "' (work or nv)";
    return *out < 0 ? -1 : 0;
}

/* Byte values given as several words are joined. */
int parse_byte_words(const std::vector<std::string> &w, size_t from, std::vector<uint8_t> *out,
                     std::string *err)
{
    out->clear();
    for (size_t i = from; i < w.size(); i++) {
        std::vector<uint8_t> b;
        if (fwmd_parse_bytes(w[i], &b, err) != 0)
            return -1;
        out->insert(out->end(), b.begin(), b.end());
    }
    return 0;
}

std::string join(const std::vector<std::string> &w, size_t from)
{
    std::string s;
    for (size_t i = from; i < w.size(); i++)
        s += (i > from ? " " : "") + w[i];
    return s;
}

int parse_expect(const std::vector<std::string> &a, fwmd_step *st, std::string *err)
{
    std::vector<std::string> head = {a[0], a[1]};
    if (fwmd_parse_message(head, &st->channel, &st->msg, err) != 0)
        return -1;
    for (size_t i = 2; i < a.size(); i++) {
        size_t eq = a[i].find('=');
        std::string seen;
        if (eq == std::string::npos || eq == 0) {
            *err = "expected key=value, got '" + a[i] + "'";
            return -1;
        }
        st->checks.push_back({a[i].substr(0, eq), a[i].substr(eq + 1)});
        if (fwmd_check_field(st->msg, st->checks.back().first, "", &seen) < 0) {
            *err = a[1] + " has no field '" + st->checks.back().first + "'";
            return -1;
        }
    }
    return 0;
}

/* Fills the step from its words (verb removed). */
int parse_args(const verb_info &v, const std::vector<std::string> &a, fwmd_step *st,
               std::string *err)
{
    switch (v.kind) {
    case FWMD_STEP_TIMEOUT:
    case FWMD_STEP_SLEEP:
        return parse_ms(a[0], &st->number, err);
    case FWMD_STEP_CONNECT:
    case FWMD_STEP_RECONNECT:
    case FWMD_STEP_CLOSE:
        return parse_channel(a[0], &st->channel, err);
    case FWMD_STEP_SEND:
        return fwmd_parse_message(a, &st->channel, &st->msg, err);
    case FWMD_STEP_SEND_RAW:
        if (parse_channel(a[0], &st->channel, err) != 0)
            return -1;
        return parse_byte_words(a, 1, &st->bytes, err);
    case FWMD_STEP_EXPECT:
        return parse_expect(a, st, err);
    case FWMD_STEP_PROP:
        st->name = a[0];
        st->value = a[1];
        return 0;
    case FWMD_STEP_JOURNAL:
        st->name = a[0];
        st->number = 1;
        if (a.size() > 1 && (a[1].compare(0, 6, "count=") != 0 ||
                             fwmd_parse_number(a[1].substr(6), 1000000, &st->number) != 0)) {
            *err = "expected count=N, got '" + a[1] + "'";
            return -1;
        }
        return 0;
    case FWMD_STEP_SOCBRIDGE:
        return parse_byte_words(a, 0, &st->bytes, err);
    case FWMD_STEP_NOTIFY:
        if (fwmd_parse_number(a[0], 255, &st->number) != 0) {
            *err = "notification type '" + a[0] + "' is not a byte";
            return -1;
        }
        return 0;
    case FWMD_STEP_FILE:
        st->name = a[0];
        if (a[0].empty() || a[0][0] != '/') {
            *err = "file path '" + a[0] + "' must be a device path starting with /";
            return -1;
        }
        if (fwmd_parse_number(a[1], 0x7FFFFFFFFFFFFFFFull, &st->number) != 0) {
            *err = "offset '" + a[1] + "' is not a number";
            return -1;
        }
        if (parse_byte_words(a, 2, &st->bytes, err) != 0)
            return -1;
        if (st->bytes.empty()) {
            *err = "no bytes to look for";
            return -1;
        }
        return 0;
    case FWMD_STEP_NOTE:
        return 0; /* the text is the raw line, kept by parse_line */
    case FWMD_STEP_NOTIFY_OPEN:
        return 0;
    }
    return 0;
}

int take_label(const std::vector<std::string> &w, std::string *pending_label, std::string *err)
{
    if (w.size() < 2 || !pending_label->empty()) {
        *err = w.size() < 2 ? "label without text" : "two labels in a row";
        return -1;
    }
    *pending_label = join(w, 1);
    return 0;
}

/* The verb's arguments, with a check's within=MS taken out. */
int split_args(const verb_info &v, const std::vector<std::string> &w, fwmd_step *st,
               std::vector<std::string> *args, std::string *err)
{
    for (size_t i = 1; i < w.size(); i++) {
        uint64_t ms;
        if (v.check && w[i].compare(0, 7, "within=") == 0) {
            if (parse_ms(w[i].substr(7), &ms, err) != 0)
                return -1;
            st->within_ms = (int)ms;
        } else {
            args->push_back(w[i]);
        }
    }
    if (args->size() >= v.min_args && args->size() <= v.max_args)
        return 0;
    std::string range = v.max_args == v.min_args ? ""
                        : v.max_args == k_many   ? " or more"
                                                 : " to " + std::to_string(v.max_args);
    *err = std::string(v.name) + " takes " + std::to_string(v.min_args) + range + " argument(s), got " +
           std::to_string(args->size());
    return -1;
}

/* One line; *step_out false for blank and comment lines and labels. */
int parse_line(const std::string &line, int n, std::string *pending_label, fwmd_step *st,
               bool *step_out, std::string *err)
{
    std::vector<std::string> w, args;
    *step_out = false;
    if (fwmd_tokenize(line, &w, err) != 0)
        return -1;
    if (w.empty())
        return 0;
    if (w[0] == "label")
        return take_label(w, pending_label, err);
    const verb_info *v = find_verb(w[0]);
    if (v == nullptr) {
        *err = "unknown step '" + w[0] + "'";
        return -1;
    }
    *st = fwmd_step();
    st->line = n;
    st->text = line.substr(line.find_first_not_of(" \t"));
    st->kind = v->kind;
    if (split_args(*v, w, st, &args, err) != 0)
        return -1;
    if (!pending_label->empty()) {
        if (!v->check) {
            *err = "a label must come before a check, not before '" + w[0] + "'";
            return -1;
        }
        st->label = *pending_label;
        pending_label->clear();
    }
    if (v->kind == FWMD_STEP_NOTE) /* the raw text, quotes and all */
        st->name = st->text.substr(st->text.find_first_not_of(" \t", st->text.find_first_of(" \t")));
    *step_out = true;
    return parse_args(*v, args, st, err);
}

/* ---- playing ---- */

struct player {
    fwmd_server *s;
    const fwmd_play_options &opt;
    int timeout_ms;
    unsigned seen[2];  /* connections already accounted for, per channel */
    int socbridge_fd;
    bool own_socbridge;
    int pty_fd = -1;
    std::vector<uint8_t> pty_in;
};

using clock_type = std::chrono::steady_clock;

/* Polls cond every 10 ms; true as soon as it holds, false after ms. */
bool poll_until(int ms, const std::function<bool()> &cond)
{
    auto end = clock_type::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (cond())
            return true;
        if (clock_type::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool read_file(const std::string &path, std::string *out)
{
    std::ifstream f(path, std::ios::binary);
    if (!f)
        return false;
    std::ostringstream ss;
    ss << f.rdbuf();
    *out = ss.str();
    return true;
}


bool need_root(player &p, std::string *ev)
{
    if (p.opt.root.empty())
        *ev = "no simulated root given";
    return !p.opt.root.empty();
}

bool step_expect(player &p, const fwmd_step &st, int ms, std::string *ev)
{
    fwmd_msg m;
    const char *name = fwmd_cmd_name(st.msg.msg_cmd);
    std::string what = name ? name : std::to_string(st.msg.msg_cmd);
    if (fwmd_expect(p.s, st.channel, st.msg.msg_cmd, &m, ms) != 0) {
        *ev = "no " + what + " on " + fwmd_channel_name(st.channel) + " within " + std::to_string(ms) + " ms";
        return false;
    }
    *ev = fwmd_format(m);
    for (const auto &[key, want] : st.checks) {
        std::string seen;
        if (fwmd_check_field(m, key, want, &seen) != 1) {
            *ev = key + " is " + seen + ", not " + want + ": " + *ev;
            return false;
        }
    }
    return true;
}

bool step_prop(player &p, const fwmd_step &st, int ms, std::string *ev)
{
    if (!need_root(p, ev))
        return false;
    std::string path = p.opt.root + "/dev/__properties__/" + st.name, v;
    bool ok = poll_until(ms, [&] {
        if (!read_file(path, &v))
            v = "(unset)";
        else if (!v.empty() && v.back() == '\n')
            v.pop_back();
        return v == st.value;
    });
    *ev = st.name + " = " + v + (ok ? "" : " after " + std::to_string(ms) + " ms, not " + st.value);
    return ok;
}

bool step_journal(player &p, const fwmd_step &st, int ms, std::string *ev)
{
    if (!need_root(p, ev))
        return false;
    std::string path = p.opt.root + "/dev/modem.log", found;
    uint64_t count = 0;
    bool ok = poll_until(ms, [&] {
        std::string text;
        count = 0;
        read_file(path, &text);
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);)
            if (line.find(st.name) != std::string::npos && ++count == st.number)
                found = line;
        return count >= st.number;
    });
    *ev = ok ? "journal: " + found
             : "journal has " + std::to_string(count) + " line(s) with \"" + st.name + "\", wanted " +
                   std::to_string(st.number);
    return ok;
}

/* korv's exception channel opens only once a writer exists, so the play
 * takes the write end as it starts.  Read-write: opening never blocks, and
 * korv never reads the FIFO's end while the play holds it. */
void open_socbridge(player &p)
{
    struct stat sb;
    std::string path = p.opt.root + "/dev/socbridge";
    if (p.socbridge_fd >= 0 || p.opt.root.empty() || stat(path.c_str(), &sb) != 0 || !S_ISFIFO(sb.st_mode))
        return;
    p.socbridge_fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    p.own_socbridge = p.socbridge_fd >= 0;
}

bool step_socbridge(player &p, const fwmd_step &st, std::string *ev)
{
    if (p.socbridge_fd < 0) {
        *ev = p.opt.root.empty() ? "no simulated root given"
                                 : "dev/socbridge is not a FIFO that can be opened";
        return false;
    }
    ssize_t w = write(p.socbridge_fd, st.bytes.data(), st.bytes.size());
    if (w != (ssize_t)st.bytes.size()) {
        *ev = std::string("write to dev/socbridge failed: ") + (w < 0 ? strerror(errno) : "short write");
        return false;
    }
    *ev = "wrote " + fwmd_hex(st.bytes.data(), st.bytes.size());
    return true;
}

bool step_notify_open(player &p, int ms, std::string *ev)
{
    if (!need_root(p, ev))
        return false;
    if (p.pty_fd >= 0)
        close(p.pty_fd);
    p.pty_in.clear();
    std::string link = p.opt.root + "/dev/ttyled";
    p.pty_fd = -1;
    poll_until(ms, [&] {
        p.pty_fd = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        return p.pty_fd >= 0;
    });
    if (p.pty_fd < 0) {
        *ev = "cannot open dev/ttyled: " + std::string(strerror(errno));
        return false;
    }
    struct termios t;
    if (tcgetattr(p.pty_fd, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(p.pty_fd, TCSANOW, &t);
    }
    char target[256] = "";
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    *ev = "opened dev/ttyled -> " + std::string(target, n > 0 ? (size_t)n : 0);
    return true;
}

bool step_notify(player &p, const fwmd_step &st, int ms, std::string *ev)
{
    if (p.pty_fd < 0 && !step_notify_open(p, ms, ev))
        return false;
    auto end = clock_type::now() + std::chrono::milliseconds(ms);
    while (p.pty_in.size() < 4) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - clock_type::now()).count();
        struct pollfd pf = {p.pty_fd, POLLIN, 0};
        if (left <= 0 || poll(&pf, 1, (int)left) == 0) {
            *ev = "no notification within " + std::to_string(ms) + " ms";
            return false;
        }
        uint8_t buf[64];
        ssize_t n = read(p.pty_fd, buf, sizeof buf);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (n <= 0) {
            *ev = "the pty was closed";
            close(p.pty_fd);
            p.pty_fd = -1;
            return false;
        }
        p.pty_in.insert(p.pty_in.end(), buf, buf + n);
    }
    uint8_t rec[4];
    std::copy(p.pty_in.begin(), p.pty_in.begin() + 4, rec);
    p.pty_in.erase(p.pty_in.begin(), p.pty_in.begin() + 4);
    *ev = "notification type " + std::to_string(rec[0]) + " (" + fwmd_hex(rec, 4) + ")";
    return rec[0] == st.number;
}

bool step_file(player &p, const fwmd_step &st, int ms, std::string *ev)
{
    if (!need_root(p, ev))
        return false;
    std::string path = p.opt.root + st.name, got;
    bool ok = poll_until(ms, [&] {
        std::string text;
        got = "(no such file)";
        if (!read_file(path, &text))
            return false;
        size_t n = st.number < text.size() ? std::min(text.size() - st.number, st.bytes.size()) : 0;
        got = n ? fwmd_hex((const uint8_t *)text.data() + st.number, n) : "(nothing)";
        return n == st.bytes.size() && memcmp(text.data() + st.number, st.bytes.data(), n) == 0;
    });
    *ev = st.name + " at " + std::to_string(st.number) + ": " + got;
    return ok;
}

bool step_connect(player &p, const fwmd_step &st, int ms, std::string *ev)
{
    const char *ch = fwmd_channel_name(st.channel);
    unsigned after = st.kind == FWMD_STEP_RECONNECT ? p.seen[st.channel] : 0;
    if (fwmd_wait_connection(p.s, st.channel, after, ms) != 0) {
        *ev = std::string("korv did not ") + (after ? "reconnect" : "connect") + " on " + ch +
              " within " + std::to_string(ms) + " ms";
        return false;
    }
    p.seen[st.channel] = fwmd_connection_count(p.s, st.channel);
    *ev = std::string("korv connected on ") + ch + " (connection " + std::to_string(p.seen[st.channel]) + ")";
    return true;
}

bool run_step(player &p, const fwmd_step &st, std::string *ev)
{
    int ms = st.within_ms >= 0 ? st.within_ms : p.timeout_ms;
    switch (st.kind) {
    case FWMD_STEP_TIMEOUT:
        p.timeout_ms = (int)st.number;
        return true;
    case FWMD_STEP_CONNECT:
    case FWMD_STEP_RECONNECT:
        return step_connect(p, st, ms, ev);
    case FWMD_STEP_CLOSE:
        fwmd_close_channel(p.s, st.channel);
        return true;
    case FWMD_STEP_SEND:
    case FWMD_STEP_SEND_RAW: {
        int rc = st.kind == FWMD_STEP_SEND ? fwmd_send(p.s, st.channel, st.msg)
                                           : fwmd_send_raw(p.s, st.channel, st.bytes.data(), st.bytes.size());
        if (rc != 0)
            *ev = std::string("could not send on ") + fwmd_channel_name(st.channel);
        return rc == 0;
    }
    case FWMD_STEP_EXPECT:
        return step_expect(p, st, ms, ev);
    case FWMD_STEP_PROP:
        return step_prop(p, st, ms, ev);
    case FWMD_STEP_JOURNAL:
        return step_journal(p, st, ms, ev);
    case FWMD_STEP_SOCBRIDGE:
        return step_socbridge(p, st, ev);
    case FWMD_STEP_NOTIFY_OPEN:
        return step_notify_open(p, ms, ev);
    case FWMD_STEP_NOTIFY:
        return step_notify(p, st, ms, ev);
    case FWMD_STEP_FILE:
        return step_file(p, st, ms, ev);
    case FWMD_STEP_SLEEP:
        std::this_thread::sleep_for(std::chrono::milliseconds(st.number));
        return true;
    case FWMD_STEP_NOTE:
        return true;
    }
    return false;
}

}  // namespace

int fwmd_scenario_parse(const std::string &text, fwmd_scenario *out, std::string *err)
{
    std::istringstream in(text);
    std::string line, label, e;
    int n = 0;
    out->steps.clear();
    while (std::getline(in, line)) {
        n++;
        fwmd_step st;
        bool is_step;
        if (parse_line(line, n, &label, &st, &is_step, &e) != 0) {
            *err = "line " + std::to_string(n) + ": " + e;
            return -1;
        }
        if (is_step)
            out->steps.push_back(std::move(st));
    }
    if (!label.empty()) {
        *err = "line " + std::to_string(n) + ": label \"" + label + "\" has no check after it";
        return -1;
    }
    return 0;
}

int fwmd_scenario_load(const std::string &path, fwmd_scenario *out, std::string *err)
{
    std::string text;
    if (!read_file(path, &text)) {
        *err = path + ": " + strerror(errno);
        return -1;
    }
    if (fwmd_scenario_parse(text, out, err) != 0) {
        *err = path + ": " + *err;
        return -1;
    }
    return 0;
}

int fwmd_scenario_play(fwmd_server *s, const fwmd_scenario &sc, const fwmd_play_options &opt,
                       std::vector<fwmd_row> *rows)
{
    player p{s, opt, opt.timeout_ms, {fwmd_connection_count(s, FWMD_WORK), fwmd_connection_count(s, FWMD_NV)},
             opt.socbridge_fd, false, -1, {}};
    FILE *tr = opt.transcript;
    FILE *old_trace = tr ? fwmd_set_trace(s, tr) : nullptr;
    int failed_line = 0;
    open_socbridge(p);
    for (const fwmd_step &st : sc.steps) {
        if (failed_line != 0) {
            if (!st.label.empty())
                rows->push_back(
                    {st.label, "not run: line " + std::to_string(failed_line) + " failed", false});
            continue;
        }
        if (tr) {
            fprintf(tr, "[%d] %s\n", st.line, st.kind == FWMD_STEP_NOTE ? st.name.c_str() : st.text.c_str());
            fflush(tr);
        }
        std::string ev;
        bool ok = run_step(p, st, &ev);
        if (tr && !ev.empty()) {
            fprintf(tr, "     %s %s\n", ok ? "ok:" : "FAILED:", ev.c_str());
            fflush(tr);
        }
        if (!ok)
            failed_line = st.line;
        if (!st.label.empty())
            rows->push_back({st.label, ev, ok});
        else if (!ok)
            rows->push_back({"line " + std::to_string(st.line) + ": " + st.text, ev, false});
    }
    if (tr)
        fwmd_set_trace(s, old_trace);
    if (p.own_socbridge)
        close(p.socbridge_fd);
    if (p.pty_fd >= 0)
        close(p.pty_fd);
    return failed_line == 0 ? 0 : -1;
}

void fwmd_print_rows(FILE *out, const std::vector<fwmd_row> &rows)
{
    size_t w = 5;
    for (const fwmd_row &r : rows)
        w = std::max(w, r.label.size());
    fprintf(out, "%-6s %-*s  %s\n", "RESULT", (int)w, "CHECK", "EVIDENCE");
    for (const fwmd_row &r : rows)
        fprintf(out, "%-6s %-*s  %s\n", r.pass ? "pass" : "FAIL", (int)w, r.label.c_str(),
                r.evidence.c_str());
    fflush(out);
}
