/* korv-bench: time, the result table and the session (the tests' rig). */
#include "bench.h"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "fwmd.h"
#include "kor_msg_cmd.h"
#include "sim_root.h"

namespace kb {

options g_opt;

/* Real-time, so that unrelated processes on the machine starve neither korv
 * nor a baseline, but below every korv thread (95, its NVRAM writer 80): the
 * framework's stand-in must never take a CPU from the daemon it feeds. */
static const int k_runner_priority = 60;

static std::vector<row> s_rows;
static int s_failures;
static bool s_fifo;

uint64_t now_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void sleep_us(unsigned us)
{
    struct timespec ts = {(time_t)(us / 1000000), (long)(us % 1000000) * 1000};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

const char *log_name(log_mode m)
{
    return m == LOG_FILE ? "file" : "null";
}

std::string fmt(const char *format, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, format);
    vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    return buf;
}

std::string grouped(double v)
{
    std::string digits = fmt("%.0f", v);
    std::string out;
    int n = (int)digits.size();
    for (int i = 0; i < n; i++) {
        out += digits[i];
        if ((n - i - 1) % 3 == 0 && i != n - 1)
            out += ',';
    }
    return out;
}

void add_row(const row &r)
{
    s_rows.push_back(r);
}

void add_failure(const std::string &figure, log_mode m, const std::string &why)
{
    s_failures++;
    add_row({figure, log_name(m), "-", "-", "-", "-", "FAILED: " + why});
    fprintf(stderr, "korv-bench: %s (log %s) failed: %s\n", figure.c_str(), log_name(m), why.c_str());
}

int failures()
{
    return s_failures;
}

void print_table()
{
    row head = {"figure", "log", "korv", "baseline", "ratio", "target", "result"};
    std::vector<row> all = {head};
    all.insert(all.end(), s_rows.begin(), s_rows.end());
    size_t w[7] = {0};
    for (const row &r : all) {
        const std::string *f[7] = {&r.figure, &r.log, &r.korv, &r.base, &r.ratio, &r.target, &r.verdict};
        for (int i = 0; i < 7; i++)
            w[i] = std::max(w[i], f[i]->size());
    }
    double load[3] = {0, 0, 0};
    getloadavg(load, 3);
    printf("\nkorv benchmarks: optimised build without sanitizers, %ld CPUs, load %.2f, runner %s%s\n",
           sysconf(_SC_NPROCESSORS_ONLN), load[0], sched_name(), g_opt.smoke ? ", SMOKE SIZES" : "");
    printf("(ratio: korv against the baseline measured in this run; higher is better for rates,\n"
           " lower for times and sizes)\n\n");
    for (size_t k = 0; k < all.size(); k++) {
        const row &r = all[k];
        const std::string *f[7] = {&r.figure, &r.log, &r.korv, &r.base, &r.ratio, &r.target, &r.verdict};
        std::string line;
        for (int i = 0; i < 7; i++) {
            /* numbers right-aligned, words left-aligned */
            bool right = i >= 2 && i <= 4;
            std::string cell = *f[i];
            std::string pad(w[i] - cell.size(), ' ');
            line += right ? pad + cell : cell + (i < 6 ? pad : "");
            if (i < 6)
                line += "  ";
        }
        printf("%s\n", line.c_str());
        if (k == 0)
            printf("%s\n", std::string(line.size(), '-').c_str());
    }
    fflush(stdout);
}

bool write_file(const std::string &path, const void *data, size_t n)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const char *p = (const char *)data;
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w <= 0) {
            close(fd);
            return false;
        }
        p += w;
        n -= (size_t)w;
    }
    return close(fd) == 0;
}

bool read_at(const std::string &path, uint64_t off, void *buf, size_t n)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ssize_t r = pread(fd, buf, n, (off_t)off);
    close(fd);
    return r == (ssize_t)n;
}

off_t file_size(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

korvtest::rig_opts korv_opts_for(log_mode m, int work_port, int nv_port)
{
    korvtest::rig_opts o;
    o.work_port = work_port;
    o.nv_port = nv_port;
    o.capture_stderr = true;
    o.log_path = m == LOG_FILE ? "" : "/dev/null";
    o.env = g_opt.korv_env;
    return o;
}

session::session(log_mode m, int work_port, int nv_port) : session(korv_opts_for(m, work_port, nv_port)) {}

session::session(const korvtest::rig_opts &o) : korv_rig(o)
{
    root.keep = g_opt.keep;
}

bool session::path_info(uint32_t wf_id, const std::string &name, const std::string &wf_path,
                        const std::string &nv_file)
{
    fwmd_body b;
    b.u32(1).u32(wf_id).chars(name, 64).chars(wf_path, 128).chars(nv_file, 64);
    return send(FWMD_NV, MWRX_WFMGR_COMM_PATH_INFO_IND, b) == 0;
}

uint64_t started_ns(const korvtest::korv_proc &k)
{
    return (uint64_t)std::chrono::duration_cast<std::chrono::nanoseconds>(k.started.time_since_epoch()).count();
}

std::string bin_dir()
{
    return korv_sim_bin_dir();
}

std::string lib_dir()
{
    return korv_sim_lib_dir();
}

bool raise_to_fifo()
{
    struct sched_param sp;
    memset(&sp, 0, sizeof sp);
    sp.sched_priority = k_runner_priority;
    s_fifo = sched_setscheduler(0, SCHED_FIFO, &sp) == 0;
    return s_fifo;
}

const char *sched_name()
{
    return s_fifo ? "SCHED_FIFO 60 (below korv's threads)" : "SCHED_OTHER (no privilege for SCHED_FIFO)";
}

} // namespace kb
