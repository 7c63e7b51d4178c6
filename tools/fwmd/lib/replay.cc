/* Captures for people and for regression runs: one line per captured record
 * in fwmd's own rendering, and the replay of a capture against a live korv.
 *
 * A replay walks the capture in its order.  An inbound record (framework to
 * korv) is sent as it travelled, dropped ones included, after the captured
 * pause since the previous inbound record (none with asap).  An outbound
 * record is the reply korv gave then: the next message korv sends on that
 * link now is taken (up to reply_ms) and compared header field by header
 * field and body field by body field.  Messages korv sends beyond the
 * capture are differences too.  Runs on the caller's thread. */
#include <stdio.h>
#include <string.h>

#include <chrono>
#include <thread>

#include "fwmd.h"

namespace {

const char *direction_name(int direction)
{
    return direction == 1 ? "in" : direction == 2 ? "out" : "?";
}

/* The record of a frame: 0 with *msg, or -1 when it holds no message. */
int frame_msg(const fwmd_capture_rec &r, fwmd_msg *msg)
{
    if (r.frame.size() < 4)
        return -1;
    return fwmd_decode(r.frame.data() + 4, r.frame.size() - 4, msg);
}

/* Header fields, then body fields, by name. */
std::vector<fwmd_field> all_fields(const fwmd_msg &m)
{
    const std::pair<const char *, uint64_t> head[] = {{"len", m.len},         {"wf_id", m.wf_id},
                                                      {"src", m.src},         {"dst", m.dst},
                                                      {"msg_cmd", m.msg_cmd}, {"body_len", m.body_len}};
    std::vector<fwmd_field> out;
    for (const auto &h : head) {
        fwmd_field f;
        f.name = h.first;
        f.num = h.second;
        out.push_back(f);
    }
    std::vector<fwmd_field> body;
    std::vector<uint8_t> extra;
    fwmd_decode_fields(m, &body, &extra);
    out.insert(out.end(), body.begin(), body.end());
    if (!extra.empty()) {
        fwmd_field f;
        f.name = "extra";
        f.is_bytes = true;
        f.bytes = extra;
        out.push_back(f);
    }
    return out;
}

const fwmd_field *field_named(const std::vector<fwmd_field> &fields, const std::string &name)
{
    for (const fwmd_field &f : fields)
        if (f.name == name)
            return &f;
    return nullptr;
}

std::string value_of(const fwmd_field *f)
{
    return f == nullptr ? "(none)" : fwmd_render_field(*f);
}

struct replay_run {
    fwmd_server *s;
    const fwmd_replay_options &o;
    int differences = 0;

    void differ(size_t index, const fwmd_capture_rec &r, const std::string &what) {
        differences++;
        fprintf(o.out, "difference: record %zu (%s %s): %s\n", index + 1, fwmd_channel_name(r.channel),
                direction_name(r.direction), what.c_str());
    }

    /* Each field the two messages disagree on is one difference. */
    void compare(size_t index, const fwmd_capture_rec &r, const fwmd_msg &want, const fwmd_msg &got) {
        std::vector<fwmd_field> w = all_fields(want), g = all_fields(got);
        const char *name = fwmd_cmd_name(want.msg_cmd);
        std::string prefix = std::string(name ? name : "message") + " ";
        for (const fwmd_field &f : w) {
            const fwmd_field *other = field_named(g, f.name);
            if (other == nullptr || value_of(other) != value_of(&f))
                differ(index, r, prefix + f.name + ": captured " + value_of(&f) + ", got " + value_of(other));
        }
        for (const fwmd_field &f : g)
            if (field_named(w, f.name) == nullptr)
                differ(index, r, prefix + f.name + ": captured (none), got " + value_of(&f));
    }

    void expect_reply(size_t index, const fwmd_capture_rec &r) {
        fwmd_msg want, got;
        if (frame_msg(r, &want) != 0)
            return; /* korv never sends a record without a header */
        if (fwmd_recv(s, r.channel, &got, o.reply_ms) != 0) {
            const char *name = fwmd_cmd_name(want.msg_cmd);
            differ(index, r, std::string(name ? name : "message") + ": captured a reply, got none within " +
                                 std::to_string(o.reply_ms) + " ms");
            return;
        }
        compare(index, r, want, got);
    }

    void send(const fwmd_capture_rec &r, uint64_t *last_us) {
        if (!o.asap && *last_us != 0 && r.ts_us > *last_us)
            std::this_thread::sleep_for(std::chrono::microseconds(r.ts_us - *last_us));
        *last_us = r.ts_us;
        /* A record that fwmd's own encoder makes byte for byte goes out as
         * a message, so the transcript shows it decoded. */
        fwmd_msg m;
        if (frame_msg(r, &m) == 0 && fwmd_encode(m) == r.frame)
            fwmd_send(s, r.channel, m);
        else
            fwmd_send_raw(s, r.channel, r.frame.data(), r.frame.size());
    }

    /* What korv sends after the capture's last reply. */
    void extras(size_t count) {
        for (int c : {FWMD_WORK, FWMD_NV}) {
            fwmd_msg got;
            while (fwmd_recv(s, c, &got, o.settle_ms) == 0) {
                differences++;
                fprintf(o.out, "difference: after record %zu (%s out): not in the capture: %s\n", count,
                        fwmd_channel_name(c), fwmd_format(got).c_str());
            }
        }
    }
};

}  // namespace

std::string fwmd_capture_line(const fwmd_capture_rec &r, uint64_t first_us)
{
    char head[64];
    uint64_t t = r.ts_us >= first_us ? r.ts_us - first_us : 0;
    snprintf(head, sizeof head, "%llu.%06llu %-4s %-3s ", (unsigned long long)(t / 1000000),
             (unsigned long long)(t % 1000000), r.channel >= 0 ? fwmd_channel_name(r.channel) : "?",
             direction_name(r.direction));
    fwmd_msg m;
    std::string text = head;
    if (frame_msg(r, &m) == 0)
        text += fwmd_format(m);
    else
        text += "record of " + std::to_string(r.frame.size() < 4 ? 0 : r.frame.size() - 4) +
                " bytes without a header: " + fwmd_hex(r.frame.data(), r.frame.size());
    if (!r.comment.empty())
        text += " (" + r.comment + ")";
    return text;
}

int fwmd_replay(fwmd_server *s, const std::vector<fwmd_capture_rec> &recs, const fwmd_replay_options &o)
{
    replay_run run{s, o};
    uint64_t last_us = 0;
    for (size_t i = 0; i < recs.size(); i++) {
        const fwmd_capture_rec &r = recs[i];
        if (r.channel < 0) {
            fprintf(o.out, "fwmd: record %zu is of no framework link, skipped\n", i + 1);
        } else if (r.direction == 1 && r.frame.size() <= 4 && !r.comment.empty()) {
            fprintf(o.out, "fwmd: record %zu was never read by korv (%s), skipped\n", i + 1, r.comment.c_str());
        } else if (r.direction == 1) {
            run.send(r, &last_us);
        } else if (r.direction == 2) {
            run.expect_reply(i, r);
        }
    }
    run.extras(recs.size());
    return run.differences;
}
