/* korv-bench: what every figure shares.  A figure runs korv on a simulated
 * root of its own, measures one thing, measures a baseline that does the same
 * work without the daemon in the same run, and adds rows to one table.
 *
 * Everything here belongs to the runner's main thread unless a figure says
 * otherwise; figures run one after another, never side by side. */
#ifndef KORV_BENCH_H
#define KORV_BENCH_H

#include <stdint.h>
#include <sys/types.h>

#include <string>
#include <vector>

struct fwmd_server;

namespace kb {

/* ---- run options ---- */

struct options {
    bool smoke = false;    /* tiny sizes: checks that every figure works */
    std::string only;      /* run only figures whose name contains this */
    bool keep = false;     /* keep the simulated roots (paths are printed) */
    /* extra "NAME=value" entries for korv's environment, for experiments
     * (LD_PRELOAD of a variant library, KORV_FAULT, ...) */
    std::vector<std::string> korv_env;
};
extern options g_opt;

/* ---- time and statistics ---- */

uint64_t now_ns(); /* monotonic */
double median(std::vector<double> v);
void sleep_us(unsigned us);

/* ---- the table ---- */

enum log_mode { LOG_FILE, LOG_NULL };
const char *log_name(log_mode m);

struct row {
    std::string figure;
    std::string log;
    std::string korv;
    std::string base;
    std::string ratio;
    std::string target;
    std::string verdict; /* "met", "MISSED", "-" or "FAILED: why" */
};
void add_row(const row &r);
/* A figure that could not be measured: one row saying why. */
void add_failure(const std::string &figure, log_mode m, const std::string &why);
void print_table();
int failures();

std::string fmt(const char *format, ...) __attribute__((format(printf, 1, 2)));
/* "12,345" style, for rates. */
std::string grouped(double v);

/* ---- files ---- */

bool write_file(const std::string &path, const void *data, size_t n);
bool read_at(const std::string &path, uint64_t off, void *buf, size_t n);
off_t file_size(const std::string &path);

/* ---- a simulated phone root, removed when the figure is done ---- */

struct root {
    std::string dir;
    root();
    ~root();
    root(const root &) = delete;
    root &operator=(const root &) = delete;
    bool ok() const { return !dir.empty(); }
    std::string path(const std::string &device_path) const { return dir + device_path; }
};

/* The exception channel is a FIFO whose open blocks until a writer exists:
 * the runner holds a write end (read-write, so its own open never blocks)
 * while korv runs, as the phone's driver would. */
struct socbridge_holder {
    int fd = -1;
    explicit socbridge_holder(const root &r);
    ~socbridge_holder();
};

/* ---- korv, in a process group of its own ---- */

struct korv_run {
    pid_t pid = -1;
    std::string log_path; /* the file korv logs to (or /dev/null) */
    uint64_t started_ns = 0;

    /* Forks and execs korv on the root with the given ports. */
    bool start(const root &r, log_mode m, int work_port, int nv_port);
    /* Kills korv's whole group (a dump tool it started included) and reaps it.
     * Teardown is not part of any figure, and its two-second pause would
     * only slow the run down. */
    void kill_all();
    ~korv_run() { kill_all(); }
};

/* fwmd listening, korv started on a fresh root, both channels connected. */
struct session {
    root r;
    socbridge_holder sb{r};
    fwmd_server *fw = nullptr;
    korv_run k;
    std::string error; /* why up() failed */

    bool up(log_mode m);
    /* Stores a waveform's path record (wf_path ends in "/"). */
    bool path_info(uint32_t wf_id, const std::string &name, const std::string &wf_path,
                   const std::string &nv_file);
    ~session();
};

std::string bin_dir();
std::string lib_dir();

/* SCHED_FIFO for the runner and every thread it starts later (see
 * common.cc for the level).  False when not allowed. */
bool raise_to_fifo();
const char *sched_name();

/* ---- figures ---- */

void figure_nv(log_mode m, bool ma);
void figure_load(log_mode m);
void figure_dispatch(log_mode m);
void figure_startup(log_mode m); /* bring-up and footprint */
void figure_exception(log_mode m);
void figure_sizes();

} // namespace kb

#endif
