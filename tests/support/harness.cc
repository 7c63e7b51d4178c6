// Every korv is started in a process group of its own (a failing event loop
// kills its whole group) and killed with its group when the test lets go of it.
#include "harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "sim_root.h"

namespace fs = std::filesystem;

namespace korvtest {

namespace {

// argv/envp for exec: pointers into v, null-terminated.
std::vector<char *> c_strings(const std::vector<std::string> &v) {
    std::vector<char *> out;
    for (const auto &s : v) out.push_back(const_cast<char *>(s.c_str()));
    out.push_back(nullptr);
    return out;
}

int exit_code(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

void kill_group(pid_t pid) {
    kill(-pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

}  // namespace

bool wait_until(const std::function<bool()> &cond, int timeout_ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

int free_port() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = -1;
    if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(s);
    return port;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, const std::string &data) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

int count_of(const std::string &text, const std::string &part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) n++;
    return n;
}

std::string read_range(const std::string &path, uint64_t off, size_t n) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(off));
    std::string s(n, '\0');
    in.read(s.data(), static_cast<std::streamsize>(n));
    s.resize(static_cast<size_t>(std::max<std::streamsize>(0, in.gcount())));
    return s;
}

std::string bin_path(const std::string &tool) { return std::string(KORV_BIN_DIR) + "/" + tool; }

sim_root::sim_root(bool populate) {
    char tmpl[] = "/tmp/korv-test-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
    dir = tmpl;
    std::string err;
    if (populate && korv_sim_init(dir, &err) != 0) throw std::runtime_error("korv_sim_init: " + err);
}

sim_root::~sim_root() {
    if (keep) {
        fprintf(stderr, "kept %s\n", dir.c_str());
        return;
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
}

std::string sim_root::path(const std::string &device_path) const { return dir + device_path; }
std::string sim_root::read(const std::string &p) const { return read_file(path(p)); }
void sim_root::write(const std::string &p, const std::string &data) const { write_file(path(p), data); }
bool sim_root::exists(const std::string &p) const {
    struct stat st;
    return lstat(path(p).c_str(), &st) == 0;
}

std::string sim_root::prop(const std::string &name) const {
    return exists("/dev/__properties__/" + name) ? read("/dev/__properties__/" + name) : "";
}

void sim_root::set_prop(const std::string &name, const std::string &value) const {
    std::string p = path("/dev/__properties__/" + name);
    write_file(p + ".tmp-test", value);
    fs::rename(p + ".tmp-test", p);
}

std::vector<std::string> sim_root::journal() const { return split_lines(read("/dev/modem.log")); }
std::vector<std::string> sim_root::ctl_log() const { return split_lines(read("/init/ctl.log")); }

korv_proc::korv_proc(const sim_root &root, const korv_opts &opts) {
    work_port = opts.work_port ? opts.work_port : free_port();
    nv_port = opts.nv_port ? opts.nv_port : free_port();
    log_path = !opts.log_path.empty() ? opts.log_path
                                      : root.dir + "/korv-" + std::to_string(getpid()) + "-" +
                                            std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) +
                                            ".log";
    std::vector<std::string> env = {
        "KORV_ROOT=" + root.dir, "KORV_LOG_FILE=" + log_path,
        "KORV_WORK_PORT=" + std::to_string(work_port), "KORV_NV_PORT=" + std::to_string(nv_port),
        "PATH=/usr/bin:/bin", "ASAN_OPTIONS=detect_leaks=0"};
    // A ThreadSanitizer run's settings (make tsan) apply to korv as to the test.
    if (const char *tsan = getenv("TSAN_OPTIONS")) env.push_back(std::string("TSAN_OPTIONS=") + tsan);
    env.insert(env.end(), opts.env.begin(), opts.env.end());
    std::vector<std::string> argv = {bin_path("korv")};
    argv.insert(argv.end(), opts.args.begin(), opts.args.end());
    started = std::chrono::steady_clock::now();
    pid = fork();
    if (pid == 0) {
        setsid();
        dup2(open("/dev/null", O_RDWR), 0);
        if (!opts.stderr_path.empty()) {
            int err = open(opts.stderr_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            dup2(err, 1);
            dup2(err, 2);
        }
        execve(argv[0].c_str(), c_strings(argv).data(), c_strings(env).data());
        _exit(127);
    }
}

korv_proc::korv_proc(const sim_root &root, const std::vector<std::string> &args,
                     const std::vector<std::string> &extra_env, int wport, int nport)
    : korv_proc(root, korv_opts{args, extra_env, wport, nport, "", ""}) {}

korv_proc::~korv_proc() {
    if (running()) kill_now();
}

// korv's lines reach the file in batches, within a few ms of being made.
// A read waits until the file has not grown for kLogSettleMs, so every line
// made before what the test saw last (a reply, a file, a property) is in it.
// While korv keeps logging, the read gives up settling after kLogSettleMax.
static const int kLogSettleMs = 50, kLogSettleMax = 60;

std::string korv_proc::log() const {
    std::string text = read_file(log_path);
    for (int i = 0; i < kLogSettleMax; i++) {
        usleep(kLogSettleMs * 1000);
        std::string again = read_file(log_path);
        if (again.size() == text.size()) return again;
        text = std::move(again);
    }
    return text;
}

int korv_proc::count(const std::string &text) const { return count_of(log(), text); }

bool korv_proc::wait_log(const std::string &text, int timeout_ms, int nth) const {
    return wait_until([&] { return count_of(read_file(log_path), text) >= nth; }, timeout_ms);
}

bool korv_proc::running() {
    if (pid <= 0) return false;
    int status;
    if (waitpid(pid, &status, WNOHANG) != pid) return true;
    exit_status_ = exit_code(status);
    pid = -pid;  // reaped: remember that it is gone
    return false;
}

int korv_proc::wait_exit(int timeout_ms) {
    if (wait_until([&] { return !running(); }, timeout_ms)) return exit_status_;
    kill_group(pid);
    pid = -pid;
    return -1;
}

void korv_proc::kill_now() {
    if (pid <= 0) return;
    kill_group(pid);
    pid = -pid;
}

int korv_proc::stop(int sig, int timeout_ms) {
    if (pid > 0) kill(pid, sig);
    return wait_exit(timeout_ms);
}

int run_tool(const std::vector<std::string> &argv, std::string *out,
             const std::vector<std::string> &extra_env, int timeout_ms) {
    int pfd[2];
    if (pipe(pfd) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        setsid();
        dup2(pfd[1], 1);
        close(pfd[0]);
        for (const auto &e : extra_env) putenv(strdup(e.c_str()));
        execv(argv[0].c_str(), c_strings(argv).data());
        _exit(127);
    }
    close(pfd[1]);
    fcntl(pfd[0], F_SETFL, O_NONBLOCK);
    std::string text;
    auto drain = [&] {
        char buf[4096];
        for (ssize_t n; (n = read(pfd[0], buf, sizeof buf)) > 0;) text.append(buf, n);
    };
    int status = 0;
    bool done = wait_until([&] { return drain(), waitpid(pid, &status, WNOHANG) == pid; }, timeout_ms);
    drain();
    close(pfd[0]);
    if (out) *out = text;
    if (!done) kill_group(pid);
    return done ? exit_code(status) : -1;
}

}  // namespace korvtest
