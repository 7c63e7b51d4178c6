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

#include "korv_rig.h"

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

/* ---- korv on a simulated phone: the tests' rig (tests/support) ---- */

/* How a figure starts korv: logging to a file of its own or to /dev/null,
 * its standard output and error in the root, the runner's --korv-env
 * entries; given ports, korv is pointed at them and no fwmd listens. */
korvtest::rig_opts korv_opts_for(log_mode m, int work_port = 0, int nv_port = 0);

/* fwmd listening, korv started on a fresh root (kept with --keep); up()
 * waits until both channels are connected. */
struct session : korvtest::korv_rig {
    explicit session(log_mode m, int work_port = 0, int nv_port = 0);
    /* korv started with these options (korv_opts_for, amended). */
    explicit session(const korvtest::rig_opts &o);
    /* Stores a waveform's path record (wf_path ends in "/"). */
    bool path_info(uint32_t wf_id, const std::string &name, const std::string &wf_path,
                   const std::string &nv_file);
};

/* Nanoseconds on now_ns()'s clock at which korv was started. */
uint64_t started_ns(const korvtest::korv_proc &k);

std::string bin_dir();
std::string lib_dir();

/* SCHED_FIFO for the runner and every thread it starts later (see
 * common.cc for the level).  False when not allowed. */
bool raise_to_fifo();
const char *sched_name();

/* ---- figures ---- */

void figure_nv(log_mode m, bool ma);
void figure_durable(log_mode m); /* group commit against syncing every write */
void figure_durable_latency(log_mode m); /* an entry's wait for its sync, writer idle */
void figure_load(log_mode m);
void figure_dispatch(log_mode m);
void figure_startup(log_mode m); /* bring-up and footprint */
void figure_exception(log_mode m);
void figure_sizes();

} // namespace kb

#endif
