// The simulated init for korv (see service_manager.h).
//
// Threads and ownership: the monitor thread owns the daemon's life cycle
// (spawn, wait, reap, restart pause); the forwarder thread tails the daemon's
// log: its log file, or the root's radio buffer when the adapter's sink is
// liblog (korv-sim loads the same adapter as the daemon, so its own default
// sink says which).  Every field of supervisor::state below `mu` is guarded by it;
// `cv` wakes the monitor's pause, stop()'s grace wait and the forwarder.
// Output lines go through out_mu so that the two threads never interleave.
#include "service_manager.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

#include "kor_os.h"
#include "logcat.h"
#include "sim_root.h"

extern char **environ;

namespace korvsim {

using clock_type = std::chrono::steady_clock;

namespace {

std::vector<std::string> words(const std::string &line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

bool to_int(const std::string &text, int *out) {
    char *end = nullptr;
    long v = strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || v < 0 || v > 1000000) return false;
    *out = static_cast<int>(v);
    return true;
}

/* Applies one option line of a service section. */
bool apply_option(const std::vector<std::string> &w, service_def *def, std::string *err) {
    if (w[0] == "oneshot") {
        def->oneshot = true;
    } else if (w[0] == "restart_period") {
        int s = 0;
        if (w.size() != 2 || !to_int(w[1], &s)) return *err = "bad restart_period", false;
        def->restart_period_ms = s * 1000;
    } else if (w[0] == "socket") {
        socket_def sd;
        char *end = nullptr;
        if (w.size() < 4 || w[2] != "stream") return *err = "only stream sockets are simulated", false;
        sd.name = w[1];
        sd.mode = static_cast<unsigned>(strtoul(w[3].c_str(), &end, 8));
        if (*end != '\0' || sd.mode > 0777 || sd.name.find('/') != std::string::npos)
            return *err = "bad socket " + w[1], false;
        sd.user = w.size() > 4 ? w[4] : "";
        sd.group = w.size() > 5 ? w[5] : "";
        def->sockets.push_back(sd);
    } else if (w[0] == "critical") {
        def->critical = true;
        for (size_t i = 1; i < w.size(); i++) {
            int minutes = 0;
            if (w[i].rfind("window=", 0) == 0 && to_int(w[i].substr(7), &minutes))
                def->crash_window_ms = minutes * 60 * 1000;
        }
    }
    return true; /* class, user, group and the rest do not concern the simulation */
}

/* Creates /dev/socket/NAME below root afresh (a stale one of the previous
 * daemon goes first), inheritable, not yet listening, as init does; the
 * descriptor or -1. */
int make_socket(const std::string &root, const socket_def &sd) {
    std::string dir = root + "/dev/socket", path = dir + "/" + sd.name;
    sockaddr_un addr = {};
    if (path.size() >= sizeof(addr.sun_path)) return -1;
    mkdir(dir.c_str(), 0755);
    unlink(path.c_str());
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 ||
        chmod(path.c_str(), sd.mode) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    const passwd *pw = sd.user.empty() ? nullptr : getpwnam(sd.user.c_str());
    const group *gr = sd.group.empty() ? nullptr : getgrnam(sd.group.c_str());
    if (pw || gr) {
        int rc = chown(path.c_str(), pw ? pw->pw_uid : static_cast<uid_t>(-1), gr ? gr->gr_gid : static_cast<gid_t>(-1));
        (void)rc; /* as a user the owner stays ours; the mode still applies */
    }
    return fd;
}

std::string env_name(const std::string &entry) { return entry.substr(0, entry.find('=')); }

void set_env(std::vector<std::string> *env, const std::string &entry) {
    std::string name = env_name(entry);
    for (auto &e : *env)
        if (env_name(e) == name) return void(e = entry);
    env->push_back(entry);
}

std::string describe_status(int status) {
    if (status < 0) return "could not be started";
    if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
    return "ended (status " + std::to_string(status) + ")";
}

}  // namespace

int rc_parse(const std::string &text, const std::string &name, service_def *def,
             std::string *err) {
    std::istringstream in(text);
    bool inside = false, found = false;
    service_def d;
    std::string e;
    for (std::string line; std::getline(in, line);) {
        auto w = words(line);
        if (w.empty() || w[0][0] == '#') continue;
        if (w[0] == "service" || w[0] == "on" || w[0] == "import") {
            inside = w[0] == "service" && w.size() >= 3 && w[1] == name;
            if (inside) {
                found = true;
                d = service_def{};
                d.name = name;
                d.argv.assign(w.begin() + 2, w.end());
            }
            continue;
        }
        if (inside && !apply_option(w, &d, &e)) {
            if (err) *err = "service " + name + ": " + e;
            return -1;
        }
    }
    if (!found) {
        if (err) *err = "no service " + name;
        return -1;
    }
    *def = d;
    return 0;
}

int rc_load(const std::string &path, const std::string &name, service_def *def,
            std::string *err) {
    std::ifstream in(path);
    if (!in) {
        if (err) *err = "cannot read " + path;
        return -1;
    }
    std::stringstream ss;
    ss << in.rdbuf();
    return rc_parse(ss.str(), name, def, err);
}

struct supervisor::state {
    supervisor_options opts;
    std::string program;
    std::string log_file;    /* the daemon's standard output and error */
    bool logcat = false;     /* its lines go to the radio buffer, not log_file */
    std::string follow_file; /* what the forwarder tails */
    std::vector<std::string> argv, env;
    int socbridge_fd = -1; /* write end of the exception channel, held for korv */
    std::thread monitor, forwarder;
    std::mutex out_mu;

    std::mutex mu;
    std::condition_variable cv;
    bool started = false, stopping = false, done = false, crash_loop = false;
    pid_t pid = -1;
    int starts = 0, exits = 0;
    std::deque<clock_type::time_point> recent_exits;
    clock_type::time_point last_start;

    void say(const std::string &line) {
        std::lock_guard<std::mutex> g(out_mu);
        if (opts.out) {
            opts.out(line);
        } else {
            std::cout << line << std::endl;
        }
    }
    void note(const std::string &text) { say("korv-sim: " + text); }

    pid_t spawn();
    void monitor_loop();
    int wait_exit(pid_t p);
    bool crash_loop_after_exit();
    void forward_loop();
    void forward(std::string *pending, bool final);
};

/* Called with mu held, so stop() never misses a daemon being born. */
pid_t supervisor::state::spawn() {
    std::vector<char *> av, ev;
    std::vector<std::string> child_env = env;
    std::vector<int> sockets;
    for (const socket_def &sd : opts.service.sockets) {
        int fd = make_socket(opts.root, sd);
        if (fd < 0) {
            note("cannot create socket " + sd.name + ": " + strerror(errno));
            continue;
        }
        sockets.push_back(fd);
        set_env(&child_env, "ANDROID_SOCKET_" + sd.name + "=" + std::to_string(fd));
    }
    for (auto &a : argv) av.push_back(a.data());
    av.push_back(nullptr);
    for (auto &e : child_env) ev.push_back(e.data());
    ev.push_back(nullptr);
    sigset_t none;
    sigemptyset(&none);
    pid_t p = fork();
    if (p == 0) {
        /* Own process group: a failing korv kills its whole group.  The
         * manager blocks its stop signals; the daemon must get them. */
        setsid();
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (opts.uid != static_cast<uid_t>(-1) &&
            (setgroups(0, nullptr) != 0 || setgid(opts.gid) != 0 || setuid(opts.uid) != 0))
            _exit(126);
        int in = open("/dev/null", O_RDONLY);
        int out = open(log_file.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
        if (in >= 0) dup2(in, 0);
        if (out >= 0) {
            dup2(out, 1);
            dup2(out, 2);
        }
        execve(program.c_str(), av.data(), ev.data());
        _exit(127);
    }
    for (int fd : sockets) close(fd);
    return p;
}

/* Waits for the daemon to end.  The zombie keeps its pid (and so its group
 * id) reserved until reaped, so a stop can still kill what the daemon left
 * in its group without hitting an unrelated process. */
int supervisor::state::wait_exit(pid_t p) {
    siginfo_t info;
    while (waitid(P_PID, p, &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
    {
        std::lock_guard<std::mutex> g(mu);
        if (stopping) kill(-p, SIGKILL);
    }
    int status = 0;
    while (waitpid(p, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

/* Counts the exit; true when the service has now ended more often than its
 * limit within the window. */
bool supervisor::state::crash_loop_after_exit() {
    const service_def &sd = opts.service;
    auto now = clock_type::now();
    recent_exits.push_back(now);
    while (!recent_exits.empty() &&
           now - recent_exits.front() > std::chrono::milliseconds(sd.crash_window_ms))
        recent_exits.pop_front();
    return static_cast<int>(recent_exits.size()) > sd.crash_limit;
}

void supervisor::state::monitor_loop() {
    std::unique_lock<std::mutex> lk(mu);
    while (!stopping) {
        pid = spawn();
        starts++;
        last_start = clock_type::now();
        pid_t p = pid;
        cv.notify_all();
        lk.unlock();
        if (p < 0) {
            note("cannot start " + program + ": " + strerror(errno));
        } else {
            note("started " + opts.service.name + " (pid " + std::to_string(p) + ")");
        }
        int status = p < 0 ? -1 : wait_exit(p);
        lk.lock();
        pid = -1;
        exits++;
        cv.notify_all();
        if (stopping) break;
        bool loop = crash_loop_after_exit();
        crash_loop = loop;
        std::string count = std::to_string(recent_exits.size());
        lk.unlock();
        note(opts.service.name + " " + describe_status(status));
        if (loop) {
            note("crash loop: " + count + " exits within " +
                 std::to_string(opts.service.crash_window_ms) + " ms; not restarting");
        } else if (opts.service.oneshot) {
            note(opts.service.name + " is oneshot; not restarting");
        }
        lk.lock();
        if (loop || opts.service.oneshot) break;
        auto when = last_start + std::chrono::milliseconds(opts.service.restart_period_ms);
        cv.wait_until(lk, when, [&] { return stopping; });
        if (!stopping) {
            lk.unlock();
            note("restarting " + opts.service.name + " (start " + std::to_string(starts + 1) +
                 ")");
            lk.lock();
        }
    }
    done = true;
    cv.notify_all();
}

/* Says each complete line (or radio buffer entry) at the start of *pending
 * and drops it; with `final`, a torn rest too.  A malformed entry drops what
 * is pending. */
void supervisor::state::forward(std::string *pending, bool final) {
    if (logcat) {
        std::vector<std::string> lines;
        bool bad = false;
        size_t used = logcat_render(*pending, &lines, &bad);
        for (const auto &l : lines) say("korv| " + l);
        pending->erase(0, bad || final ? pending->size() : used);
        return;
    }
    size_t at;
    while ((at = pending->find('\n')) != std::string::npos) {
        say("korv| " + pending->substr(0, at));
        pending->erase(0, at + 1);
    }
    if (final && !pending->empty()) say("korv| " + *pending);
}

/* Copies each complete line the daemon logs; a restarted daemon that
 * truncates the file is followed from its start. */
void supervisor::state::forward_loop() {
    off_t offset = 0;
    struct stat st;
    if (stat(follow_file.c_str(), &st) == 0) offset = st.st_size;
    std::string partial;
    auto drain = [&](bool final) {
        int fd = open(follow_file.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return;
        if (fstat(fd, &st) == 0 && st.st_size < offset) offset = 0;
        char buf[8192];
        ssize_t n;
        while ((n = pread(fd, buf, sizeof buf, offset)) > 0) {
            offset += n;
            partial.append(buf, static_cast<size_t>(n));
        }
        close(fd);
        forward(&partial, final);
    };
    std::unique_lock<std::mutex> lk(mu);
    while (!stopping || !done) {
        lk.unlock();
        drain(false);
        lk.lock();
        cv.wait_for(lk, std::chrono::milliseconds(50), [&] { return stopping && done; });
    }
    lk.unlock();
    drain(true);
}

supervisor::supervisor(supervisor_options opts) : s_(new state) { s_->opts = std::move(opts); }

supervisor::~supervisor() { stop(); }

int supervisor::start(std::string *err) {
    state &s = *s_;
    const service_def &sd = s.opts.service;
    if (s.started) return 0;
    if (s.stopping) {
        if (err) *err = "a stopped supervisor does not start again";
        return -1;
    }
    if (sd.argv.empty()) {
        if (err) *err = "service " + sd.name + " names no program";
        return -1;
    }
    s.program = s.opts.program;
    if (s.program.empty())
        s.program = korv_sim_bin_dir() + "/" + sd.argv[0].substr(sd.argv[0].rfind('/') + 1);
    if (access(s.program.c_str(), X_OK) != 0) {
        if (err) *err = "cannot run " + s.program + ": " + strerror(errno);
        return -1;
    }
    s.log_file = s.opts.log_file.empty() ? s.opts.root + "/korv.log" : s.opts.log_file;
    s.logcat = strcmp(tp_os_log_sink(), "liblog") == 0;
    s.follow_file = s.logcat ? logcat_buffer_path(s.opts.root, "radio") : s.log_file;
    s.argv = sd.argv;
    for (char **e = environ; *e; e++)
        if (strncmp(*e, "KORV_LOG_FILE=", 14) != 0) s.env.push_back(*e);
    set_env(&s.env, "KORV_ROOT=" + s.opts.root);
    if (!s.logcat) set_env(&s.env, "KORV_LOG_FILE=" + s.log_file);
    for (const auto &e : s.opts.env) set_env(&s.env, e);

    /* korv must never read end of file on the exception channel: hold a
     * writer for it (O_RDWR opens a FIFO without waiting for a reader). */
    std::string fifo = s.opts.root + "/dev/socbridge";
    s.socbridge_fd = open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (s.socbridge_fd < 0) s.note("no exception channel at " + fifo + ": " + strerror(errno));

    s.started = true;
    s.forwarder = std::thread([&s] { s.forward_loop(); });
    s.monitor = std::thread([&s] { s.monitor_loop(); });
    return 0;
}

void supervisor::stop() {
    state &s = *s_;
    if (!s.started) return;
    {
        std::unique_lock<std::mutex> lk(s.mu);
        s.stopping = true;
        pid_t p = s.pid;
        s.cv.notify_all();
        if (p > 0) {
            kill(p, SIGTERM);
            bool gone = s.cv.wait_for(lk, std::chrono::milliseconds(s.opts.grace_ms),
                                      [&] { return s.pid != p; });
            if (!gone) {
                lk.unlock();
                s.note(s.opts.service.name + " ignored SIGTERM; killing its group");
                lk.lock();
                if (s.pid == p) kill(-p, SIGKILL);
            }
        }
    }
    s.monitor.join();
    s.forwarder.join();
    /* init's sockets go with the service. */
    for (const socket_def &sd : s.opts.service.sockets) unlink((s.opts.root + "/dev/socket/" + sd.name).c_str());
    if (s.socbridge_fd >= 0) close(s.socbridge_fd);
    s.socbridge_fd = -1;
    s.started = false;
}

pid_t supervisor::pid() const {
    std::lock_guard<std::mutex> g(s_->mu);
    return s_->pid;
}

int supervisor::starts() const {
    std::lock_guard<std::mutex> g(s_->mu);
    return s_->starts;
}

int supervisor::exits() const {
    std::lock_guard<std::mutex> g(s_->mu);
    return s_->exits;
}

bool supervisor::crash_loop() const {
    std::lock_guard<std::mutex> g(s_->mu);
    return s_->crash_loop;
}

bool supervisor::finished() const {
    std::lock_guard<std::mutex> g(s_->mu);
    return s_->done;
}

}  // namespace korvsim
