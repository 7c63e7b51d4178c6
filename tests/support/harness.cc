/* Test harness implementation.  Every korv is started in a process group of
 * its own (a failing event loop kills its whole group) and killed with its
 * group when the test lets go of it. */
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

bool wait_until(const std::function<bool()> &cond, int timeout_ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (true) {
        if (cond()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int free_port() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
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
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string bin_path(const std::string &tool) { return std::string(KORV_BIN_DIR) + "/" + tool; }

sim_root::sim_root(bool populate) {
    char tmpl[] = "/tmp/korv-test-XXXXXX";
    char *d = mkdtemp(tmpl);
    if (!d) throw std::runtime_error("mkdtemp failed");
    dir = d;
    if (populate) {
        std::string err;
        if (korv_sim_init(dir, &err) != 0) throw std::runtime_error("korv_sim_init: " + err);
    }
}

sim_root::~sim_root() {
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
    std::string p = path("/dev/__properties__/" + name);
    if (!exists("/dev/__properties__/" + name)) return "";
    return read_file(p);
}

void sim_root::set_prop(const std::string &name, const std::string &value) const {
    std::string p = path("/dev/__properties__/" + name);
    std::string tmp = p + ".tmp-test";
    write_file(tmp, value);
    fs::rename(tmp, p);
}

std::vector<std::string> sim_root::journal() const { return split_lines(read("/dev/modem.log")); }
std::vector<std::string> sim_root::ctl_log() const { return split_lines(read("/init/ctl.log")); }

korv_proc::korv_proc(const sim_root &root, const std::vector<std::string> &args,
                     const std::vector<std::string> &extra_env, int wport, int nport) {
    work_port = wport ? wport : free_port();
    nv_port = nport ? nport : free_port();
    log_path = root.dir + "/korv-" + std::to_string(getpid()) + "-" +
               std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + ".log";
    std::vector<std::string> env = {
        "KORV_ROOT=" + root.dir, "KORV_LOG_FILE=" + log_path,
        "KORV_WORK_PORT=" + std::to_string(work_port), "KORV_NV_PORT=" + std::to_string(nv_port),
        "PATH=/usr/bin:/bin", "ASAN_OPTIONS=detect_leaks=0"};
    for (const auto &e : extra_env) env.push_back(e);
    std::vector<std::string> argv = {bin_path("korv")};
    for (const auto &a : args) argv.push_back(a);
    pid = fork();
    if (pid == 0) {
        setsid();
        std::vector<char *> av, ev;
        for (auto &a : argv) av.push_back(const_cast<char *>(a.c_str()));
        av.push_back(nullptr);
        for (auto &e : env) ev.push_back(const_cast<char *>(e.c_str()));
        ev.push_back(nullptr);
        int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, 0);
        execve(av[0], av.data(), ev.data());
        _exit(127);
    }
}

korv_proc::~korv_proc() {
    if (pid > 0 && running()) {
        kill(-pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

std::string korv_proc::log() const { return read_file(log_path); }

int korv_proc::count(const std::string &text) const {
    std::string l = log();
    int n = 0;
    for (size_t at = l.find(text); at != std::string::npos; at = l.find(text, at + text.size())) n++;
    return n;
}

bool korv_proc::wait_log(const std::string &text, int timeout_ms, int nth) const {
    return wait_until([&] { return count(text) >= nth; }, timeout_ms);
}

bool korv_proc::running() {
    if (pid <= 0) return false;
    int status;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) {
        exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        pid = -pid;  // reaped: remember that it is gone
        return false;
    }
    return true;
}

int korv_proc::wait_exit(int timeout_ms) {
    if (wait_until([&] { return !running(); }, timeout_ms)) return exit_status_;
    kill(-pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -pid;
    return -1;
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
        std::vector<char *> av;
        for (auto &a : argv) av.push_back(const_cast<char *>(a.c_str()));
        av.push_back(nullptr);
        execv(av[0], av.data());
        _exit(127);
    }
    close(pfd[1]);
    fcntl(pfd[0], F_SETFL, O_NONBLOCK);
    std::string text;
    int status = 0;
    bool done = wait_until(
        [&] {
            char buf[4096];
            ssize_t n;
            while ((n = read(pfd[0], buf, sizeof buf)) > 0) text.append(buf, n);
            return waitpid(pid, &status, WNOHANG) == pid;
        },
        timeout_ms);
    char buf[4096];
    ssize_t n;
    while ((n = read(pfd[0], buf, sizeof buf)) > 0) text.append(buf, n);
    close(pfd[0]);
    if (out) *out = text;
    if (!done) {
        kill(-pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace korvtest
