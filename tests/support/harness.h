// Test harness: a simulated root in a temporary folder, korv started on it in
// a process group of its own, and helpers to wait for what it does.  No
// GoogleTest in here: the benchmarks start korv through it too (the child
// helper of the unit tests is child_root.h).
#ifndef KORV_TEST_HARNESS_H
#define KORV_TEST_HARNESS_H

#include <stdint.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace korvtest {

// Polls cond every 10 ms until it holds or timeout_ms has passed.
bool wait_until(const std::function<bool()> &cond, int timeout_ms);
// A TCP port on 127.0.0.1 that was free a moment ago.
int free_port();
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &data);
std::vector<std::string> split_lines(const std::string &text);
int count_of(const std::string &text, const std::string &part);
// n bytes of a host file from off on (fewer at its end).
std::string read_range(const std::string &path, uint64_t off, size_t n);
// A fresh simulated root (korv-sim's layout), removed when destroyed unless
// kept (its path is then printed).  Throws when it cannot be made.
struct sim_root {
    std::string dir;
    bool keep = false;
    explicit sim_root(bool populate = true);
    ~sim_root();
    sim_root(const sim_root &) = delete;
    sim_root &operator=(const sim_root &) = delete;

    // Host path of a device path ("/dev/modem" -> dir + "/dev/modem").
    std::string path(const std::string &device_path) const;
    std::string read(const std::string &device_path) const;
    void write(const std::string &device_path, const std::string &data) const;
    bool exists(const std::string &device_path) const;
    // Property value, or "" when unset.
    std::string prop(const std::string &name) const;
    void set_prop(const std::string &name, const std::string &value) const;
    std::vector<std::string> journal() const;  // dev/modem.log
    std::vector<std::string> ctl_log() const;  // init/ctl.log
};

// How korv is started.
struct korv_opts {
    std::vector<std::string> args;
    std::vector<std::string> env;  // extra "NAME=value" entries
    int work_port = 0;             // 0: a free port
    int nv_port = 0;
    std::string log_path;          // "": a file of its own in the root
    std::string stderr_path;       // "": inherited; else korv's stdout and stderr
};

// korv running on a root, in a process group of its own.
struct korv_proc {
    pid_t pid = -1;
    std::string log_path;
    int work_port = 0;
    int nv_port = 0;
    std::chrono::steady_clock::time_point started;  // just before the fork

    // Starts korv with KORV_ROOT, KORV_LOG_FILE and the ports.
    korv_proc(const sim_root &root, const korv_opts &opts);
    // The same with free ports (or the given ones) and a log of its own.
    explicit korv_proc(const sim_root &root, const std::vector<std::string> &args = {},
                       const std::vector<std::string> &extra_env = {}, int work_port = 0,
                       int nv_port = 0);
    // Kills the whole group if it still runs.
    ~korv_proc();
    korv_proc(const korv_proc &) = delete;
    korv_proc &operator=(const korv_proc &) = delete;

    // The log once it has settled (no growth for 50 ms): korv's lines leave
    // in batches, so what it made before the caller's last observation is in.
    std::string log() const;
    int count(const std::string &text) const;
    // Waits for a log line containing text (its n-th occurrence).
    bool wait_log(const std::string &text, int timeout_ms = 5000, int nth = 1) const;
    // Exit status after the process ended by itself, or -1 on time-out (the
    // group is then killed).  A death by signal gives 128 + the signal.
    int wait_exit(int timeout_ms = 10000);
    // Sends sig to korv, then wait_exit.
    int stop(int sig = 15, int timeout_ms = 10000);
    // Kills korv's whole group (a dump tool it started included) at once,
    // without teardown, and reaps it.
    void kill_now();
    bool running();

  private:
    int exit_status_ = -1;
};

// Runs a built tool (korv, fwmd, korv-sim, ...) and captures its standard
// output; returns the exit status.
int run_tool(const std::vector<std::string> &argv, std::string *out,
             const std::vector<std::string> &extra_env = {}, int timeout_ms = 20000);
std::string bin_path(const std::string &tool);

}  // namespace korvtest

#endif
