/* fwmd: the framework service stand-in for people.  Listens on the work and
 * NV ports, prints every connection and every message decoded, sends the
 * messages given on the command line once korv is connected, or plays a
 * scenario and prints its result table; decodes korv's traffic captures and
 * replays them against korv.  docs/fwmd.md and docs/capture.md are the
 * manuals. */
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "fwmd.h"
#include "scenario.h"

static std::atomic<bool> s_playing{false};

static void usage(FILE *out)
{
    fprintf(out,
            "usage: fwmd [--work-port N] [--nv-port N] [--root DIR] [--script FILE] [MESSAGE ...]\n"
            "       fwmd --list\n"
            "       fwmd --decode FILE\n"
            "       fwmd --lua\n"
            "       fwmd [--work-port N] [--nv-port N] [--root DIR] --replay FILE [--asap]\n"
            "  MESSAGE: one argument per message, \"CHANNEL COMMAND [key=value ...]\",\n"
            "           e.g. 'nv MWRX_WFMGR_NV_MODIFY_IND wf_id=7 entry=0:7:16:ABCD'\n"
            "  ports default to KORV_WORK_PORT / KORV_NV_PORT, else 8010 / 8020;\n"
            "  the root defaults to KORV_ROOT.  Without --script fwmd runs until interrupted;\n"
            "  with it, fwmd exits when the scenario ends: 0 when every step passed, else 1.\n"
            "  --decode prints a capture of korv's (pcapng) one message per line; --replay\n"
            "  plays its inbound records once korv has connected both links and exits 0\n"
            "  when korv answered as captured, else 1 (each difference printed).\n"
            "  --lua prints the Wireshark dissector of captures (tools/wireshark/korv.lua).\n");
}

static void list_commands()
{
    size_t n;
    const fwmd_cmd_info *t = fwmd_cmd_table(&n);
    for (size_t i = 0; i < n; i++)
        printf("0x%08X %-32s %-4s %s  %s\n", t[i].code, t[i].name, fwmd_channel_name(t[i].channel),
               t[i].to_korv ? "fw->korv" : "korv->fw", *t[i].body ? t[i].body : "(empty)");
}

static int port_option(const char *text, int *out)
{
    uint64_t v;
    if (text == nullptr || fwmd_parse_number(text, 65535, &v) != 0)
        return -1;
    *out = (int)v;
    return 0;
}

static int env_port(const char *name, int dflt)
{
    int p;
    const char *v = getenv(name);
    return v && *v && port_option(v, &p) == 0 ? p : dflt;
}

/* Signals are taken by this thread alone: an interrupt ends fwmd at once,
 * successfully unless a scenario was cut short. */
static void wait_signals(sigset_t set)
{
    int sig = 0;
    sigwait(&set, &sig);
    printf("fwmd: stopped by signal %d\n", sig);
    fflush(stdout);
    _exit(s_playing ? 1 : 0);
}

/* Blocked before any other thread starts, so that every thread inherits
 * the mask and only wait_signals sees them. */
static void take_signals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread(wait_signals, set).detach();
}

struct options {
    int ports[2];
    std::string root, script, replay;
    bool asap = false;
    std::vector<std::pair<int, fwmd_msg>> messages;
    fwmd_scenario scenario;
};

static int parse_options(int argc, char **argv, options *o)
{
    o->ports[FWMD_WORK] = env_port("KORV_WORK_PORT", 8010);
    o->ports[FWMD_NV] = env_port("KORV_NV_PORT", 8020);
    const char *root = getenv("KORV_ROOT");
    o->root = root ? root : "";
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        const char *val = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--work-port" || a == "--nv-port") {
            if (port_option(val, &o->ports[a == "--work-port" ? FWMD_WORK : FWMD_NV]) != 0) {
                fprintf(stderr, "fwmd: %s needs a port number\n", a.c_str());
                return -1;
            }
            i++;
        } else if ((a == "--root" || a == "--script" || a == "--replay") && val != nullptr) {
            (a == "--root" ? o->root : a == "--script" ? o->script : o->replay) = val;
            i++;
        } else if (a == "--asap") {
            o->asap = true;
        } else if (a.compare(0, 2, "--") == 0) {
            fprintf(stderr, "fwmd: unknown option %s\n", a.c_str());
            return -1;
        } else {
            std::string err;
            fwmd_msg m;
            int ch;
            if (fwmd_parse_message_line(a, &ch, &m, &err) != 0) {
                fprintf(stderr, "fwmd: message %d: %s\n", (int)o->messages.size() + 1, err.c_str());
                return -1;
            }
            o->messages.push_back({ch, m});
        }
    }
    if ((!o->script.empty()) + (!o->messages.empty()) + (!o->replay.empty()) > 1) {
        fprintf(stderr, "fwmd: give one of --script, --replay or messages\n");
        return -1;
    }
    return 0;
}

static int play(fwmd_server *s, const options &o)
{
    fwmd_play_options po;
    po.root = o.root;
    po.transcript = stdout;
    std::vector<fwmd_row> rows;
    s_playing = true;
    int rc = fwmd_scenario_play(s, o.scenario, po, &rows);
    s_playing = false;
    printf("\n");
    fwmd_print_rows(stdout, rows);
    return rc == 0 ? 0 : 1;
}

static int decode(const char *path)
{
    std::vector<fwmd_capture_rec> recs;
    std::string err;
    int rc = fwmd_pcapng_load(path, &recs, &err);
    for (const fwmd_capture_rec &r : recs)
        printf("%s\n", fwmd_capture_line(r, recs[0].ts_us).c_str());
    if (rc != 0)
        fprintf(stderr, "fwmd: %s\n", err.c_str());
    return rc == 0 ? 0 : 1;
}

static void wait_for_korv(fwmd_server *s, int channel)
{
    if (!fwmd_connected(s, channel))
        printf("fwmd: waiting for korv on %s\n", fwmd_channel_name(channel));
    while (fwmd_wait_connected(s, channel, 1000) != 0) {
    }
}

static int replay(fwmd_server *s, const options &o, const std::vector<fwmd_capture_rec> &recs)
{
    wait_for_korv(s, FWMD_WORK);
    wait_for_korv(s, FWMD_NV);
    fwmd_replay_options ro;
    ro.asap = o.asap;
    s_playing = true;
    int differences = fwmd_replay(s, recs, ro);
    s_playing = false;
    printf("fwmd: replay of %zu records: %d difference%s\n", recs.size(), differences,
           differences == 1 ? "" : "s");
    return differences == 0 ? 0 : 1;
}

/* The end of a script or replay closes korv's links, which korv cannot tell
 * from a framework service that died: said here, since korv's answer (its
 * exception handling, a dump and its own restart) surprises otherwise. */
static void close_links(fwmd_server *s)
{
    if (fwmd_connected(s, FWMD_WORK) || fwmd_connected(s, FWMD_NV))
        printf("fwmd: closing the links; korv takes this as a lost link: it runs its exception handling and "
               "restarts (docs/phone.md)\n");
    fwmd_stop(s);
}

int main(int argc, char **argv)
{
    if (argc == 2 && (!strcmp(argv[1], "--help") || !strcmp(argv[1], "-h"))) {
        usage(stdout);
        return 0;
    }
    if (argc == 2 && !strcmp(argv[1], "--list")) {
        list_commands();
        return 0;
    }
    if (argc == 2 && !strcmp(argv[1], "--lua")) {
        fwmd_print_lua(stdout);
        return 0;
    }
    if (argc == 3 && !strcmp(argv[1], "--decode"))
        return decode(argv[2]);
    options o;
    std::string err;
    if (parse_options(argc, argv, &o) != 0) {
        usage(stderr);
        return 2;
    }
    if (!o.script.empty() && fwmd_scenario_load(o.script, &o.scenario, &err) != 0) {
        fprintf(stderr, "fwmd: %s\n", err.c_str());
        return 2;
    }
    std::vector<fwmd_capture_rec> capture;
    if (!o.replay.empty() && fwmd_pcapng_load(o.replay, &capture, &err) != 0) {
        fprintf(stderr, "fwmd: %s\n", err.c_str());
        return 2;
    }
    take_signals();
    setvbuf(stdout, nullptr, _IOLBF, 0);

    fwmd_server *s = fwmd_start(o.ports[FWMD_WORK], o.ports[FWMD_NV]);
    if (s == nullptr) {
        fprintf(stderr, "fwmd: cannot listen on 127.0.0.1 ports %d and %d: %s\n", o.ports[FWMD_WORK],
                o.ports[FWMD_NV], strerror(errno));
        return 1;
    }
    printf("fwmd: listening on 127.0.0.1, work port %d, nv port %d\n", fwmd_port(s, FWMD_WORK),
           fwmd_port(s, FWMD_NV));
    fwmd_set_trace(s, stdout);
    if (!o.script.empty() || !o.replay.empty()) {
        int rc = o.replay.empty() ? play(s, o) : replay(s, o, capture);
        close_links(s);
        return rc;
    }
    for (const auto &[ch, m] : o.messages) {
        wait_for_korv(s, ch);
        fwmd_send(s, ch, m);
    }
    for (;;)
        pause();
}
