/* Bring-up and footprint.
 *
 * Bring-up: milliseconds from the fork that execs korv (fwmd already
 * listening) to its bring-up success line, and to both framework
 * connections.  With logging to a file the log lines themselves are watched
 * ("Initialization ril l2k successful!", two "connected to fw service");
 * with logging to /dev/null there are no lines to watch, so the success line
 * is taken from its side effect one call later (wcs_init sets the property
 * "sim.wcs.init") and the connections from fwmd accepting them.  Baseline:
 * fork, exec and exit of bench-idle, which loads the same libraries.
 *
 * Footprint: resident memory and threads of korv idle after bring-up (its
 * main thread asleep), against bench-idle asleep. */
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <thread>

#include "bench.h"
#include "fwmd.h"

namespace kb {

static const char k_success[] = "[KORV][FLOW]: Initialization ril l2k successful!";
static const char k_connected[] = "connected to fw service";
static const char k_asleep[] = "korv main thread begin to sleep";
static const char k_wcs_prop[] = "/dev/__properties__/sim.wcs.init";

struct startup_times {
    double success_ms = -1;
    double connected_ms = -1;
};

static int count_of(const std::string &text, const char *what)
{
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

static std::string read_all(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

/* Watches the session's korv, just started on a fresh root, until it is up
 * and connected; korv is left running (for its footprint). */
static bool watch_start(session &s, log_mode m, startup_times *out)
{
    const korvtest::korv_proc &k = *s.korv;
    fwmd_server *fw = s.fw;
    std::atomic<uint64_t> accepted[2] = {0, 0}; /* written by the waiters */
    std::thread waiters[2];
    if (k.pid <= 0)
        return false;
    for (int c = 0; c < 2; c++)
        waiters[c] = std::thread([fw, c, &accepted] {
            if (fwmd_wait_connected(fw, c, 10000) == 0)
                accepted[c] = now_ns();
        });
    uint64_t t0 = started_ns(k), end = t0 + 10000000000ull;
    uint64_t success = 0, connected = 0;
    while ((success == 0 || connected == 0) && now_ns() < end) {
        if (m == LOG_FILE) {
            std::string log = read_all(k.log_path);
            if (success == 0 && log.find(k_success) != std::string::npos)
                success = now_ns();
            if (connected == 0 && count_of(log, k_connected) >= 2)
                connected = now_ns();
        } else if (success == 0 && access(s.root.path(k_wcs_prop).c_str(), F_OK) == 0) {
            success = now_ns();
        }
        if (m == LOG_NULL && connected == 0 && accepted[0] && accepted[1])
            connected = std::max(accepted[0], accepted[1]);
        sleep_us(100);
    }
    for (std::thread &w : waiters)
        w.join();
    if (m == LOG_NULL && accepted[0] && accepted[1])
        connected = std::max(accepted[0], accepted[1]);
    if (success == 0 || connected == 0)
        return false;
    out->success_ms = (double)(success - t0) / 1e6;
    out->connected_ms = (double)(connected - t0) / 1e6;
    return true;
}

static double bare_exec_ms()
{
    std::string exe = bin_dir() + "/bench-idle";
    uint64_t t0 = now_ns();
    pid_t pid = fork();
    if (pid == 0) {
        execl(exe.c_str(), exe.c_str(), "--exit", (char *)nullptr);
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    double ms = (double)(now_ns() - t0) / 1e6;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ms : -1;
}

/* VmRSS in KiB and the thread count of a process. */
static bool footprint(pid_t pid, long *rss_kib, long *threads)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    *rss_kib = *threads = -1;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("VmRSS:", 0) == 0)
            *rss_kib = atol(line.c_str() + 6);
        else if (line.rfind("Threads:", 0) == 0)
            *threads = atol(line.c_str() + 8);
    }
    return *rss_kib > 0 && *threads > 0;
}

static bool idle_footprint(long *rss_kib, long *threads)
{
    std::string exe = bin_dir() + "/bench-idle";
    pid_t pid = fork();
    if (pid == 0) {
        execl(exe.c_str(), exe.c_str(), (char *)nullptr);
        _exit(127);
    }
    sleep_us(300000);
    bool ok = footprint(pid, rss_kib, threads);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return ok;
}

/* korv idle: its main thread asleep after the pause that follows bring-up. */
static bool korv_footprint(const korvtest::korv_proc &k, log_mode m, long *rss_kib, long *threads)
{
    if (m == LOG_FILE) {
        uint64_t end = now_ns() + 5000000000ull;
        while (read_all(k.log_path).find(k_asleep) == std::string::npos && now_ns() < end)
            sleep_us(10000);
    } else {
        sleep_us(1300000);
    }
    sleep_us(300000);
    return footprint(k.pid, rss_kib, threads);
}

static void startup_rows(log_mode m, const std::vector<startup_times> &t, const std::vector<double> &bare)
{
    std::vector<double> s, c;
    for (const startup_times &x : t) {
        s.push_back(x.success_ms);
        c.push_back(x.connected_ms);
    }
    double b = median(bare);
    const char *how = m == LOG_FILE ? "" : " [proxy]";
    double sv = median(s), cv = median(c);
    add_row({std::string("bring-up to success line (ms)") + how, log_name(m), fmt("%.1f", sv), fmt("%.1f", b),
             fmt("%.1f", sv / b), "< 50 ms", sv < 50 ? "met" : "MISSED"});
    add_row({std::string("bring-up to both connections (ms)") + how, log_name(m), fmt("%.1f", cv),
             fmt("%.1f", b), fmt("%.1f", cv / b), "< 50 ms", cv < 50 ? "met" : "MISSED"});
}

void figure_startup(log_mode m)
{
    std::string name = "bring-up";
    int samples = g_opt.smoke ? 1 : 7;
    std::vector<startup_times> times;
    std::vector<double> bare;
    long rss = -1, threads = -1;
    /* the first start is a warm-up (page cache) */
    for (int i = 0; i <= samples; i++) {
        startup_times t;
        bool ok, idle_ok;
        {
            session s(m);
            ok = s.fw != nullptr && watch_start(s, m, &t);
            idle_ok = ok && i == samples && korv_footprint(*s.korv, m, &rss, &threads);
        }
        bool last = i == samples;
        double b = bare_exec_ms();
        if (!ok || b < 0)
            return add_failure(name, m, ok ? "bench-idle does not run" : "korv did not come up and connect");
        if (last && !idle_ok)
            return add_failure("footprint", m, "cannot read korv's /proc status");
        if (i > 0) {
            times.push_back(t);
            bare.push_back(b);
        }
    }
    startup_rows(m, times, bare);
    long base_rss = -1, base_threads = -1;
    if (!idle_footprint(&base_rss, &base_threads))
        return add_failure("footprint", m, "cannot measure bench-idle");
    add_row({"idle resident memory (KiB)", log_name(m), grouped((double)rss), grouped((double)base_rss),
             fmt("%.1f", (double)rss / (double)base_rss), "< 8 MiB", rss < 8192 ? "met" : "MISSED"});
    add_row({"idle threads", log_name(m), fmt("%ld", threads), fmt("%ld", base_threads),
             fmt("%.1f", (double)threads / (double)base_threads), "-", "-"});
}

void figure_sizes()
{
    off_t korv = file_size(bin_dir() + "/korv");
    off_t lib = file_size(lib_dir() + "/libkor_adapter.so");
    off_t idle = file_size(bin_dir() + "/bench-idle");
    if (korv < 0 || lib < 0 || idle < 0)
        return add_failure("binary sizes", LOG_NULL, "a built file is missing");
    add_row({"binary size, korv (bytes)", "-", grouped((double)korv), grouped((double)idle),
             fmt("%.1f", (double)korv / (double)idle), "-", "-"});
    add_row({"binary size, libkor_adapter.so (bytes)", "-", grouped((double)lib), "-", "-", "-", "-"});
}

} // namespace kb
