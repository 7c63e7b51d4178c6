// korv-sim demo (see demo.h): builds a fresh phone root, starts fwmd on free
// ports and korv under the simulated init, plays the demonstration scenario,
// stops everything and prints one table of every check.
//
// Threads and ownership: the calling thread sets up, plays and tears down.
// The supervisor's threads hand every output line to on_line(), which keeps
// korv's log lines (they fill korv.log; the transcript stays readable without
// them) and prints the manager's reports; lines_mu guards the two line lists.
// The guard thread alone receives the stop signals (blocked in every other
// thread) and watches the time budget; on either it tears down and ends the
// process.  teardown_mu makes the two teardowns one: whoever takes it first
// sets `finished`, the other backs off.
#include "demo.h"

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "fwmd.h"
#include "kor_os.h"
#include "korvctl.h"
#include "scenario.h"
#include "service_manager.h"
#include "sim_root.h"

namespace korvsim {
namespace {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

/* Binaries are loaded below the NVRAM cache; the cache itself is rewritten
 * from MA by every korv start, so only this part of modem memory still
 * matches a dump taken before the restart. */
constexpr size_t k_nvram_base = 0x800000;
constexpr const char *k_log_prefix = "korv| ";
constexpr size_t k_log_tail = 40; /* korv log lines shown after a failure */

struct demo_state {
    explicit demo_state(const demo_options &o) : opt(o) {}
    const demo_options &opt;
    std::string root;
    bool temp_root = false;
    clock_type::time_point started = clock_type::now();
    fwmd_server *fw = nullptr;
    std::unique_ptr<supervisor> sup;
    std::string korv_user = "yours"; /* who korv runs as, for the header */

    std::mutex lines_mu; /* guards korv_log and reports */
    std::vector<std::string> korv_log;
    std::vector<std::string> reports;

    std::mutex teardown_mu; /* guards finished, fw and the stop of sup */
    bool finished = false;
};

std::string read_all(const fs::path &p, size_t limit = SIZE_MAX) {
    std::ifstream in(p, std::ios::binary);
    std::string s;
    if (!in) return s;
    if (limit == SIZE_MAX) {
        std::ostringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    s.resize(limit);
    in.read(s.data(), static_cast<std::streamsize>(limit));
    s.resize(static_cast<size_t>(in.gcount()));
    return s;
}

bool wait_for(clock_type::duration limit, const std::function<bool()> &cond) {
    auto until = clock_type::now() + limit;
    while (!cond()) {
        if (clock_type::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

std::string hex(uint64_t v) {
    char b[24];
    snprintf(b, sizeof b, "0x%llx", static_cast<unsigned long long>(v));
    return b;
}

/* ---- the root ---- */

/* A kept root must start empty: the demo never deletes what it did not make. */
int make_root(demo_state &d, std::string *err) {
    std::error_code ec;
    if (!d.opt.keep_dir.empty()) {
        fs::path p = fs::absolute(d.opt.keep_dir, ec);
        if (fs::exists(p) && !fs::is_empty(p, ec)) {
            *err = p.string() + " is not empty; --keep needs a new or empty folder";
            return -1;
        }
        fs::create_directories(p, ec);
        if (ec) return *err = "cannot create " + p.string() + ": " + ec.message(), -1;
        d.root = p.string();
        return 0;
    }
    const char *tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/korv-demo-XXXXXX";
    if (!mkdtemp(tmpl.data())) return *err = "mkdtemp " + tmpl + ": " + strerror(errno), -1;
    d.root = tmpl;
    d.temp_root = true;
    return 0;
}

/* The phone's dump switch is on, so the exception leaves a dump.  Written
 * before korv starts, as the phone's persistent setting would be. */
int prepare_root(demo_state &d, std::string *err) {
    if (korv_sim_init(d.root, err) != 0) return -1;
    std::ofstream p(d.root + "/dev/__properties__/persist.sys.modem.log", std::ios::trunc);
    p << "1";
    p.close();
    if (!p) return *err = "cannot set persist.sys.modem.log in " + d.root, -1;
    return 0;
}

void remove_root(demo_state &d) {
    std::error_code ec;
    if (d.temp_root) fs::remove_all(d.root, ec);
}

/* ---- korv and fwmd ---- */

void on_line(demo_state &d, const std::string &line) {
    std::lock_guard<std::mutex> g(d.lines_mu);
    if (line.compare(0, strlen(k_log_prefix), k_log_prefix) == 0) {
        d.korv_log.push_back(line.substr(strlen(k_log_prefix)));
        return;
    }
    d.reports.push_back(line);
    fprintf(d.opt.out, "%s\n", line.c_str());
    fflush(d.opt.out);
}

/* As root, korv runs as the demo's user when that user can reach korv and
 * the root; a clone below a folder closed to it (root's home, a 0700
 * temporary folder) would leave korv unable to start, so korv then runs as
 * root and one line says why. */
int pick_user(demo_state &d, supervisor_options *so, std::string *err) {
    if (korv_sim_user(d.opt.user, &so->uid, &so->gid, err) != 0) return -1;
    std::string why;
    if (user_can_run(*so, &why) != 0) {
        fprintf(d.opt.out, "korv-sim demo: korv runs as root, not as %s: %s\n", d.opt.user.c_str(), why.c_str());
        so->uid = static_cast<uid_t>(-1);
        so->gid = static_cast<gid_t>(-1);
        d.korv_user = "root";
        return 0;
    }
    d.korv_user = d.opt.user;
    return korv_sim_own(d.root, so->uid, so->gid, err);
}

/* Called with teardown_mu held, so an interrupt never meets a half-made phone. */
int start_phone(demo_state &d, std::string *err) {
    d.fw = fwmd_start(0, 0);
    if (!d.fw) return *err = "fwmd cannot listen on 127.0.0.1", -1;
    supervisor_options so;
    so.root = d.root;
    if (rc_load(d.root + "/system/etc/init/korv.rc", "korv", &so.service, err) != 0) return -1;
    so.env = {"KORV_WORK_PORT=" + std::to_string(fwmd_port(d.fw, FWMD_WORK)),
              "KORV_NV_PORT=" + std::to_string(fwmd_port(d.fw, FWMD_NV))};
    so.out = [&d](const std::string &line) { on_line(d, line); };
    if (geteuid() == 0 && pick_user(d, &so, err) != 0) return -1;
    d.sup = std::make_unique<supervisor>(so);
    return d.sup->start(err);
}

/* Stops korv (the supervisor kills what is left in its group) and fwmd.
 * Called with teardown_mu held. */
void stop_phone(demo_state &d) {
    if (d.sup) d.sup->stop();
    if (d.fw) fwmd_stop(d.fw);
    d.fw = nullptr;
}

/* Takes SIGINT, SIGTERM and SIGHUP and the end of the budget: either one
 * stops korv, removes a temporary root and ends the process with status 1. */
void guard(demo_state *d, sigset_t set) {
    auto deadline = d->started + std::chrono::milliseconds(d->opt.budget_ms);
    for (;;) {
        {
            std::lock_guard<std::mutex> g(d->teardown_mu);
            if (d->finished) return;
        }
        const timespec tick{0, 100 * 1000 * 1000};
        int sig = sigtimedwait(&set, nullptr, &tick);
        std::string why;
        if (sig > 0) {
            why = std::string("interrupted by ") + strsignal(sig);
        } else if (clock_type::now() >= deadline) {
            why = "not finished within " + std::to_string(d->opt.budget_ms / 1000) + " s";
        } else {
            continue;
        }
        std::lock_guard<std::mutex> g(d->teardown_mu);
        if (d->finished) return;
        fprintf(d->opt.out, "korv-sim demo: %s; stopping korv\n", why.c_str());
        fflush(d->opt.out);
        /* fwmd stays: the calling thread may be inside the play with it. */
        if (d->sup) d->sup->stop();
        remove_root(*d);
        fprintf(d->opt.out, "korv-sim demo: FAILED (%s)\n", why.c_str());
        fflush(d->opt.out);
        _exit(1);
    }
}

/* ---- the checks a scenario cannot make ---- */

bool any_line(const std::vector<std::string> &lines, const std::vector<std::string> &parts,
              std::string *found) {
    for (const auto &l : lines) {
        bool all = true;
        for (const auto &p : parts) all = all && l.find(p) != std::string::npos;
        if (all) {
            if (found) *found = l;
            return true;
        }
    }
    return false;
}

fwmd_row check_path_info(demo_state &d) {
    fwmd_row r{"path info: korv recorded both waveforms' paths", "", false};
    std::lock_guard<std::mutex> g(d.lines_mu);
    bool utran = any_line(d.korv_log, {"dump_wf_path_info_map: wf_id=3,", "wf_name=UTRAN"}, nullptr);
    bool ltep2p = any_line(d.korv_log, {"dump_wf_path_info_map: wf_id=5,", "wf_name=LTEP2P"}, nullptr);
    r.pass = utran && ltep2p;
    r.evidence = std::string("korv's path-info map: wf_id 3 UTRAN ") + (utran ? "listed" : "MISSING") +
                 ", wf_id 5 LTEP2P " + (ltep2p ? "listed" : "MISSING");
    return r;
}

/* The newest dump, compared with modem memory below the NVRAM cache. */
fwmd_row check_dump(demo_state &d) {
    fwmd_row r{"exception: dump of modem memory written", "no dump in /data/brimwell/dump", false};
    std::error_code ec;
    fs::path newest;
    for (const auto &e : fs::directory_iterator(d.root + "/data/brimwell/dump", ec)) {
        std::string n = e.path().filename().string();
        if (n.rfind("modem-", 0) == 0 && n.size() > 4 && n.compare(n.size() - 4, 4, ".bin") == 0 &&
            (newest.empty() || n > newest.filename().string()))
            newest = e.path();
    }
    if (newest.empty()) return r;
    std::string dump = read_all(newest, k_nvram_base);
    std::string memory = read_all(d.root + "/dev/modem", k_nvram_base);
    size_t first = dump.find_first_not_of('\0');
    std::string name = "/data/brimwell/dump/" + newest.filename().string();
    r.pass = dump.size() == k_nvram_base && dump == memory && first != std::string::npos;
    r.evidence = name + ": " + std::to_string(fs::file_size(newest, ec)) + " bytes; " +
                 (dump == memory ? "equals" : "DIFFERS FROM") + " modem memory below " +
                 hex(k_nvram_base) +
                 (first == std::string::npos ? " (all zero)" : " (first data at " + hex(first) + ")");
    return r;
}

fwmd_row check_self_restart(demo_state &d) {
    fwmd_row r{"restart: korv ended itself after the reset (status 0)", "", false};
    std::lock_guard<std::mutex> g(d.lines_mu);
    std::string exit_line;
    bool killed = any_line(d.korv_log, {"killself successed!"}, nullptr);
    bool status0 = any_line(d.reports, {"exited with status 0"}, &exit_line);
    r.pass = killed && status0;
    r.evidence = std::string(killed ? "korv logged killself successed!" : "no killself line") + "; " +
                 (status0 ? exit_line : "no exit with status 0 reported");
    return r;
}

fwmd_row check_restarted(demo_state &d) {
    fwmd_row r{"restart: the service manager started korv again", "", false};
    std::lock_guard<std::mutex> g(d.lines_mu);
    std::string line;
    bool restarted = any_line(d.reports, {"restarting korv"}, &line);
    int starts = d.sup->starts();
    r.pass = restarted && starts >= 2;
    r.evidence = std::to_string(starts) + " starts; " + (restarted ? line : "no restart reported");
    return r;
}

/* Every process started for this root carries KORV_ROOT=<root>: korv, the
 * shell and bw-dump it runs.  None may outlive the demo. */
fwmd_row check_nothing_left(demo_state &d) {
    fwmd_row r{"stop: no process of this demo left running", "", true};
    std::string needle = "KORV_ROOT=" + d.root;
    std::error_code ec;
    std::string left;
    for (const auto &e : fs::directory_iterator("/proc", ec)) {
        std::string pid = e.path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos || std::stoi(pid) == getpid())
            continue;
        std::string env = read_all(e.path() / "environ");
        std::string entry;
        for (std::istringstream in(env); std::getline(in, entry, '\0');) {
            if (entry != needle) continue;
            std::string comm = read_all(e.path() / "comm");
            if (!comm.empty() && comm.back() == '\n') comm.pop_back();
            left += (left.empty() ? "" : ", ") + pid + " (" + comm + ")";
        }
    }
    r.pass = left.empty();
    r.evidence = left.empty() ? "no process runs with " + needle : "still running: " + left;
    return r;
}

/* korv's own view at the end of the play, over its control socket: printed
 * for people, and a row that says whether korv answered. */
fwmd_row show_status(demo_state &d) {
    fwmd_row r{"status: korv answered on its control socket", "", false};
    std::string text, err;
    korvctl_json status;
    std::string socket = korvctl_socket_path(d.root);
    bool ok = wait_for(std::chrono::seconds(10), [&] {
        return korvctl_ask(socket, "status", &text, &err) == 0 && korvctl_json_parse(text, &status, &err) == 0;
    });
    if (!ok) return r.evidence = err, r;
    fprintf(d.opt.out, "\n== korvctl status ==\n");
    korvctl_print_status(d.opt.out, status);
    fflush(d.opt.out);
    r.pass = status["modem"]["state"].text == "running";
    r.evidence = "pid " + status["pid"].text + ", modem " + status["modem"]["state"].text + ", " +
                 std::to_string(status["waveforms"].items.size()) + " waveforms known";
    return r;
}

fwmd_row check_budget(demo_state &d) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - d.started);
    char took[64];
    snprintf(took, sizeof took, "took %.1f s", static_cast<double>(ms.count()) / 1000.0);
    return {"demo: finished within " + std::to_string(d.opt.budget_ms / 1000) + " s", took,
            ms.count() <= d.opt.budget_ms};
}

/* ---- the run ---- */

void print_header(demo_state &d, const std::string &scenario) {
    FILE *o = d.opt.out;
    fprintf(o, "korv-sim demo\n");
    fprintf(o, "  phone root  %s%s\n", d.root.c_str(),
            d.temp_root ? " (removed at the end)" : " (kept)");
    fprintf(o, "  fwmd        127.0.0.1 work port %d, NV port %d\n", fwmd_port(d.fw, FWMD_WORK),
            fwmd_port(d.fw, FWMD_NV));
    fprintf(o, "  scenario    %s\n", scenario.c_str());
    if (strcmp(tp_os_log_sink(), "liblog") == 0)
        fprintf(o, "  korv's log  radio buffer (korv-sim logcat %s)\n", d.root.c_str());
    else
        fprintf(o, "  korv's log  %s/korv.log\n", d.root.c_str());
    fprintf(o, "  korv's user %s\n\n", d.korv_user.c_str());
    fflush(o);
}

void print_log_tail(demo_state &d) {
    std::lock_guard<std::mutex> g(d.lines_mu);
    size_t from = d.korv_log.size() > k_log_tail ? d.korv_log.size() - k_log_tail : 0;
    fprintf(d.opt.out, "\n== last lines of korv's log ==\n");
    for (size_t i = from; i < d.korv_log.size(); i++)
        fprintf(d.opt.out, "%s%s\n", k_log_prefix, d.korv_log[i].c_str());
}

int report(demo_state &d, std::vector<fwmd_row> &rows) {
    rows.push_back(check_path_info(d));
    rows.push_back(check_dump(d));
    rows.push_back(check_self_restart(d));
    rows.push_back(check_restarted(d));
    rows.push_back(check_nothing_left(d));
    rows.push_back(check_budget(d));
    size_t failed = 0;
    for (const auto &r : rows) failed += r.pass ? 0 : 1;
    if (failed) print_log_tail(d);
    fprintf(d.opt.out, "\n== results ==\n");
    fwmd_print_rows(d.opt.out, rows);
    if (failed)
        fprintf(d.opt.out, "\nkorv-sim demo: %zu of %zu checks FAILED\n", failed, rows.size());
    else
        fprintf(d.opt.out, "\nkorv-sim demo: all %zu checks passed\n", rows.size());
    fflush(d.opt.out);
    return failed ? 1 : 0;
}

/* Sets up, plays, stops; 0, 1 (a check failed) or 2 (no demo possible). */
int play(demo_state &d, const fwmd_scenario &sc, const std::string &scenario_path) {
    std::string err;
    bool ready = make_root(d, &err) == 0 && prepare_root(d, &err) == 0;
    {
        std::lock_guard<std::mutex> g(d.teardown_mu);
        ready = ready && start_phone(d, &err) == 0;
        if (!ready) {
            fprintf(stderr, "korv-sim demo: %s\n", err.c_str());
            d.finished = true;
            stop_phone(d);
            return 2;
        }
    }
    print_header(d, scenario_path);
    fprintf(d.opt.out, "== transcript ==\n");
    fwmd_play_options po;
    po.root = d.root;
    po.transcript = d.opt.out;
    std::vector<fwmd_row> rows;
    fwmd_scenario_play(d.fw, sc, po, &rows);
    rows.push_back(show_status(d));
    {
        std::lock_guard<std::mutex> g(d.teardown_mu);
        d.finished = true;
        fprintf(d.opt.out, "\n== stopping korv ==\n");
        fflush(d.opt.out);
        stop_phone(d);
    }
    return report(d, rows);
}

}  // namespace

std::string demo_scenario_path() {
    std::error_code ec;
    fs::path bin = fs::read_symlink("/proc/self/exe", ec).parent_path();
    for (const fs::path &p : {bin / "demo.scn", bin / "../share/korv/scenarios/demo.scn"})
        if (!ec && fs::exists(p)) return fs::weakly_canonical(p).string();
    return std::string(KORV_SOURCE_DIR) + "/scenarios/demo.scn";
}

int run_demo(const demo_options &opt) {
    std::string path = demo_scenario_path();
    fwmd_scenario sc;
    std::string err;
    if (fwmd_scenario_load(path, &sc, &err) != 0) {
        fprintf(stderr, "korv-sim demo: %s\n", err.c_str());
        return 2;
    }
    /* Before any thread exists, so that only the guard sees these. */
    sigset_t set, old;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &set, &old);

    demo_state d(opt);
    std::thread g(guard, &d, set);
    int rc = play(d, sc, path);
    g.join();
    remove_root(d);
    if (!d.temp_root && rc != 2) fprintf(opt.out, "korv-sim demo: phone root kept in %s\n", d.root.c_str());
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return rc;
}

}  // namespace korvsim
