// korv-sim chaos: the run (see chaos.h).  Builds the phone (its /data an ext4
// image, canaries inside and outside it), starts the framework stand-in and
// korv, plays the plan until the time is up, stops korv cleanly, checks once
// more and prints the summary.  The prober thread asks korv's status while
// it is up and samples its descriptors, threads and memory.
#include "chaos.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "chaos_run.h"
#include "data_image.h"
#include "korvctl.h"
#include "sim_root.h"

namespace korvsim {
namespace {

namespace fs = std::filesystem;

constexpr int k_probe_ms = 400;
constexpr int k_progress_s = 10;
constexpr uint64_t k_failures_shown = 5; /* per check */

/* Files korv must never write: two outside /data (one the target of the
 * links planted where captures go), one at the top of /data (outside the NV
 * root), and the DA image, which nothing korv serves writes. */
const char *const k_canaries[] = {"/chaos-canary.bin", k_link_target, "/data/chaos-canary.bin",
                                  "/data/brimwell/nvram/nvram_sysconfig_da.bin"};

int count_dir(const std::string &path) {
    DIR *d = opendir(path.c_str());
    if (!d) return -1;
    int n = 0;
    while (readdir(d)) n++;
    closedir(d);
    return n - 2;
}

long status_field(const std::string &status, const char *name) {
    size_t at = status.find(name);
    return at == std::string::npos ? -1 : strtol(status.c_str() + at + strlen(name), nullptr, 10);
}

void sample_proc(chaos_state &s, pid_t pid) {
    std::string proc = "/proc/" + std::to_string(pid), st = chaos_read(proc + "/status");
    chaos_proc_sample smp{count_dir(proc + "/fd"), (int)status_field(st, "\nThreads:"), status_field(st, "\nVmRSS:")};
    if (smp.fds < 0 || smp.threads < 0) return; /* it just ended */
    std::lock_guard<std::mutex> g(s.mu);
    if (s.life_pid != pid) return;
    s.life.push_back(smp);
    s.peak.fds = std::max(s.peak.fds, smp.fds);
    s.peak.threads = std::max(s.peak.threads, smp.threads);
    s.peak.rss_kib = std::max(s.peak.rss_kib, smp.rss_kib);
}

void probe(chaos_state *s) {
    std::string socket = korvctl_socket_path(s->root);
    while (!s->stopping) {
        usleep(k_probe_ms * 1000);
        unsigned gen = s->up_gen;
        if (!s->up) continue;
        pid_t pid;
        {
            std::lock_guard<std::mutex> g(s->mu);
            pid = s->life_pid;
        }
        std::string text, err, ev;
        auto t0 = chaos_clock::now();
        int rc = korvctl_ask(socket, "status", &text, &err, 5000);
        int ms = (int)std::chrono::duration_cast<std::chrono::milliseconds>(chaos_clock::now() - t0).count();
        /* A fault that began meanwhile may have ended the korv asked. */
        if (!s->up || s->up_gen != gen) continue;
        bool ok = chaos_check_status(rc == 0, ms, err, &ev);
        chaos_result(*s, "alive: status within 1 s", ok, ev);
        if (pid > 0) sample_proc(*s, pid);
    }
}

int write_file(const std::string &path, const std::string &bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << bytes;
    f.close();
    return f ? 0 : -1;
}

/* A new or empty folder, the phone in it, canaries written and synced. */
int build_phone(chaos_state &s, std::string *err) {
    std::error_code ec;
    fs::path p = fs::absolute(s.opt.dir, ec);
    if (fs::exists(p) && !fs::is_empty(p, ec)) return *err = p.string() + " is not empty; chaos needs a new or empty folder", -1;
    fs::create_directories(p, ec);
    s.root = p.string();
    s.log_path = s.root + "/korv.log";
    /* The property store this process sets (the AT time-out) is the root's;
     * it reads KORV_ROOT once, at its first call. */
    setenv("KORV_ROOT", s.root.c_str(), 1);
    if (korv_sim_data_image(s.root, s.image_mib, err) != 0 || korv_sim_init(s.root, err) != 0) return -1;
    for (const char *c : k_canaries) {
        std::string bytes;
        for (int i = 0; i < 4096; i++) bytes += (char)((i * 31 + 7) & 0xFF);
        if (fs::exists(chaos_host(s, c))) continue;
        if (write_file(chaos_host(s, c), bytes) != 0) return *err = "cannot write " + chaos_host(s, c), -1;
    }
    if (korv_sim_data_settle(s.root, err) != 0) return -1;
    for (const auto &f : chaos_nv_files()) s.before[f.file] = chaos_read(chaos_host(s, f.file));
    for (const char *c : k_canaries) s.before[c] = chaos_read(chaos_host(s, c));
    s.socbridge_fd = open((s.root + "/dev/socbridge").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (s.socbridge_fd < 0) return *err = "cannot open dev/socbridge: " + std::string(strerror(errno)), -1;
    return 0;
}

void note_step(chaos_state &s, const chaos_step &st) {
    s.step_text = chaos_step_text(st);
    s.steps[st.kind]++;
    for (unsigned char c : s.step_text + "\n") s.digest = (s.digest ^ c) * 1099511628211ull;
}

/* Until the time is up, korv is lost, or a stop signal comes (blocked in
 * every thread, taken here between steps). */
void play(chaos_state &s, const sigset_t &stop_set) {
    const timespec now{0, 0};
    chaos_plan plan;
    chaos_plan_init(&plan, s.opt.seed);
    auto end = s.started + std::chrono::milliseconds((long)(s.opt.minutes * 60000));
    auto next_progress = chaos_clock::now() + std::chrono::seconds(k_progress_s);
    while (chaos_clock::now() < end && s.up) {
        if (int sig = sigtimedwait(&stop_set, nullptr, &now); sig > 0) {
            fprintf(s.opt.out, "korv-sim chaos: %s received; stopping korv\n", strsignal(sig));
            s.interrupted = true;
            break;
        }
        chaos_step st = chaos_plan_next(&plan);
        s.step_no++; /* the plan's numbering, as --plan prints it */
        if (s.opt.without & (1u << st.kind)) {
            s.skipped[st.kind]++;
            continue;
        }
        note_step(s, st);
        if (chaos_is_fault(st.kind)) {
            fprintf(s.opt.out, "chaos: %6.1f s  step %llu  %s\n", chaos_seconds(s), (unsigned long long)s.step_no,
                    s.step_text.c_str());
            fflush(s.opt.out);
            chaos_fault_step(s, st);
        } else {
            chaos_frame_step(s, st);
            usleep(st.pause_ms * 1000);
        }
        if (chaos_clock::now() >= next_progress) {
            chaos_progress(s);
            next_progress = chaos_clock::now() + std::chrono::seconds(k_progress_s);
        }
    }
}

int run(const chaos_options &opt, const sigset_t &stop_set);

int print_plan(const chaos_options &opt) {
    chaos_plan plan;
    chaos_plan_init(&plan, opt.seed);
    for (unsigned i = 1; i <= opt.plan_only; i++)
        fprintf(opt.out, "%u %s\n", i, chaos_step_text(chaos_plan_next(&plan)).c_str());
    return 0;
}

}  // namespace

void chaos_result(chaos_state &s, const std::string &check, bool ok, const std::string &evidence) {
    std::lock_guard<std::mutex> g(s.mu);
    if (ok) {
        s.passed[check]++;
        return;
    }
    char moment[96];
    snprintf(moment, sizeof moment, "seed %llu, step %llu at %.1f s", (unsigned long long)s.opt.seed,
             (unsigned long long)s.step_no, chaos_seconds(s));
    /* A fault that stays (a wedged control socket) fails the same check at
     * every probe: the first few say what happened, the count the rest. */
    if (++s.failed[check] > k_failures_shown) return;
    std::string line = "FAILED " + check + " [" + moment + ", " + s.step_text + "]\n    " + evidence;
    if (s.failed[check] == k_failures_shown) line += "\n    (further failures of this check are only counted)";
    s.failures.push_back(line);
    fprintf(s.opt.out, "%s\n", line.c_str());
    fflush(s.opt.out);
}

double chaos_seconds(const chaos_state &s) {
    return (double)std::chrono::duration_cast<std::chrono::milliseconds>(chaos_clock::now() - s.started).count() / 1000.0;
}

std::string chaos_host(const chaos_state &s, const std::string &device_path) { return s.root + device_path; }

std::string chaos_read(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

int chaos_parse_without(const std::string &text, uint32_t *out, std::string *err) {
    std::istringstream in(text);
    for (std::string key; std::getline(in, key, ',');) {
        int k = chaos_kind_by_key(key);
        if (k < 0) {
            std::string keys;
            for (int i = 0; i < CK_COUNT; i++) keys += std::string(i ? ", " : "") + chaos_kind_key((chaos_kind)i);
            return *err = "no kind of step named \"" + key + "\" (kinds: " + keys + ")", -1;
        }
        *out |= 1u << k;
    }
    return 0;
}

int chaos_main(const chaos_options &opt) {
    if (opt.plan_only > 0) return print_plan(opt);
    if (geteuid() != 0) {
        fprintf(stderr, "korv-sim chaos: needs root: the phone's /data is an ext4 image on a loop device "
                        "(mkfs, mount, e2fsck) and power cuts copy it; run it as root\n");
        return 2;
    }
    sigset_t stop_set, old_set;
    sigemptyset(&stop_set);
    sigaddset(&stop_set, SIGINT);
    sigaddset(&stop_set, SIGTERM);
    sigaddset(&stop_set, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop_set, &old_set);
    int rc = run(opt, stop_set);
    pthread_sigmask(SIG_SETMASK, &old_set, nullptr);
    return rc;
}

namespace {

int run(const chaos_options &opt, const sigset_t &stop_set) {
    chaos_state s(opt);
    std::string err;
    if (build_phone(s, &err) != 0 || chaos_frame_start(s) != 0) {
        fprintf(stderr, "korv-sim chaos: %s\n", err.empty() ? "fwmd cannot listen on 127.0.0.1" : err.c_str());
        if (s.socbridge_fd >= 0) close(s.socbridge_fd);
        korv_sim_umount(s.root, &err);
        return 2;
    }
    fprintf(opt.out, "korv-sim chaos: seed %llu, %.1f minutes, phone root %s (data on data.img), fwmd ports %d/%d\n",
            (unsigned long long)opt.seed, opt.minutes, s.root.c_str(), s.work_port, s.nv_port);
    fflush(opt.out);
    s.prober = std::thread(probe, &s);
    if (chaos_korv_start(s) == 0) play(s, stop_set);
    chaos_korv_final_stop(s);
    s.stopping = true;
    s.prober.join();
    chaos_frame_stop(s);
    close(s.socbridge_fd);
    korv_sim_umount(s.root, &err);
    chaos_summary(s);
    return s.failed.empty() && !s.interrupted ? 0 : 1;
}

}  // namespace
}  // namespace korvsim
