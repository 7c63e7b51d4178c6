// The simulated init for korv (see service_manager.h).
//
// Threads and ownership: the monitor thread owns the daemon's life cycle
// (spawn, wait, reap, restart pause); the forwarder thread tails the daemon's
// log: its log file, or the root's radio buffer when the adapter's sink is
// liblog (korv-sim loads the same adapter as the daemon, so its own default
// sink says which); the watcher thread asks each new korv for its status over
// the control socket and says when it is up and when both framework links
// are connected.  Every field of supervisor::state below `mu` is guarded by
// it; `cv` wakes the monitor's pause, stop()'s grace wait, the forwarder and
// the watcher.  The tail's position and torn line are guarded by follow_mu:
// the monitor and the watcher drain the tail too, so that korv's lines come
// before whatever the manager says about them.  Output lines go through
// out_mu so that no two threads interleave.
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
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

#include "kor_os.h"
#include "korvctl.h"
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
            else if (w[i].rfind("target=", 0) == 0 && w[i].size() > 7)
                def->reboot_target = w[i].substr(7);
        }
    }
    return true; /* class, user, group and the rest do not concern the simulation */
}

/* Creates /dev/socket/NAME below root afresh (a stale one of the previous
 * daemon goes first), inheritable, not yet listening, as init does; the
 * descriptor or -1.  A group this machine lacks becomes korv_gid (-1: left
 * as it is), so that korv's own user keeps the access radio gives it. */
int make_socket(const std::string &root, const socket_def &sd, gid_t korv_gid) {
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
    gid_t gid = gr ? gr->gr_gid : sd.group.empty() ? static_cast<gid_t>(-1) : korv_gid;
    if (pw || gid != static_cast<gid_t>(-1)) {
        int rc = chown(path.c_str(), pw ? pw->pw_uid : static_cast<uid_t>(-1), gid);
        (void)rc; /* as a user the owner stays ours; the mode still applies */
    }
    return fd;
}

std::string env_name(const std::string &entry) { return entry.substr(0, entry.find('=')); }

std::string env_value(const std::vector<std::string> &env, const std::string &name, const std::string &fallback) {
    for (const auto &e : env)
        if (env_name(e) == name && e.size() > name.size() + 1) return e.substr(name.size() + 1);
    return fallback;
}

void set_env(std::vector<std::string> *env, const std::string &entry) {
    std::string name = env_name(entry);
    for (auto &e : *env)
        if (env_name(e) == name) return void(e = entry);
    env->push_back(entry);
}

/* The child's own codes come first: 126 and 127 are set between fork and
 * exec, never by korv. */
std::string describe_status(int status, const std::string &program) {
    if (status < 0) return "could not be started";
    if (WIFEXITED(status) && WEXITSTATUS(status) == 127)
        return "could not execute " + program +
               " (status 127): its user cannot run it or cannot enter a folder above it";
    if (WIFEXITED(status) && WEXITSTATUS(status) == 126)
        return "could not take its user (status 126)";
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
    std::thread monitor, forwarder, watcher;
    std::mutex out_mu;

    std::mutex follow_mu;     /* guards the two below */
    off_t follow_offset = 0;  /* bytes of follow_file already taken */
    std::string follow_torn;  /* taken, not yet a whole line or entry */

    std::mutex mu;
    std::condition_variable cv;
    bool started = false, stopping = false, done = false, crash_loop = false;
    pid_t pid = -1;
    int starts = 0, exits = 0;
    /* init's count of a critical service's crashes: the first crash of the
     * current window and the crashes since. */
    clock_type::time_point first_crash;
    int crashes = 0;
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
    bool reboot_after_crash();
    void after_exit(int status, bool reboot);
    void forward_loop();
    void drain(bool final);
    void forward(bool final);
    void watch_loop();
    void report_status(pid_t p, bool *up, bool *linked);
};

/* Called with mu held, so stop() never misses a daemon being born. */
pid_t supervisor::state::spawn() {
    std::vector<char *> av, ev;
    std::vector<std::string> child_env = env;
    std::vector<int> sockets;
    for (const socket_def &sd : opts.service.sockets) {
        int fd = make_socket(opts.root, sd, opts.gid);
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

/* init's rule for a critical service, called with mu held after each exit:
 * a crash outside the window opens a new one; more than crash_limit crashes
 * within it reboot the phone. */
bool supervisor::state::reboot_after_crash() {
    const service_def &sd = opts.service;
    auto now = clock_type::now();
    if (crashes == 0 || now - first_crash > std::chrono::milliseconds(sd.crash_window_ms)) {
        first_crash = now;
        crashes = 0;
    }
    return ++crashes > sd.crash_limit;
}

/* What the manager says after an exit it did not ask for. */
void supervisor::state::after_exit(int status, bool reboot) {
    const service_def &sd = opts.service;
    note(sd.name + " " + describe_status(status, program));
    if (reboot) {
        note("critical service " + sd.name + " exited " + std::to_string(crashes) + " times within " +
             std::to_string(sd.crash_window_ms / 60000) + " min: init would now reboot the phone into " +
             sd.reboot_target + "; not restarting");
    } else if (sd.oneshot) {
        note(sd.name + " is oneshot; not restarting");
    }
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
        drain(false); /* the old daemon's last lines before the manager's word on it */
        lk.lock();
        pid = -1;
        exits++;
        cv.notify_all();
        if (stopping) break;
        bool reboot = opts.service.critical && reboot_after_crash();
        crash_loop = reboot;
        lk.unlock();
        after_exit(status, reboot);
        lk.lock();
        if (reboot || opts.service.oneshot) break;
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

/* Says each complete line (or radio buffer entry) of the torn text and keeps
 * the rest; with `final`, a torn rest too.  A malformed entry drops what is
 * pending.  The text is cut once per call, so a long backlog costs its
 * length, not its length times its lines.  Called with follow_mu held. */
void supervisor::state::forward(bool final) {
    std::string &text = follow_torn;
    size_t used = 0;
    if (logcat) {
        std::vector<std::string> lines;
        bool bad = false;
        used = logcat_render(text, &lines, &bad);
        for (const auto &l : lines) say("korv| " + l);
        if (bad || final) used = text.size();
    } else {
        for (size_t at; (at = text.find('\n', used)) != std::string::npos; used = at + 1)
            say("korv| " + text.substr(used, at - used));
        if (final && used < text.size()) {
            say("korv| " + text.substr(used));
            used = text.size();
        }
    }
    text.erase(0, used);
}

/* Takes what the daemon logged since the last call, a chunk at a time; a
 * restarted daemon that truncates the file is followed from its start. */
void supervisor::state::drain(bool final) {
    std::lock_guard<std::mutex> g(follow_mu);
    int fd = open(follow_file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        struct stat st;
        if (fstat(fd, &st) == 0 && st.st_size < follow_offset) follow_offset = 0;
        char buf[65536];
        ssize_t n;
        while ((n = pread(fd, buf, sizeof buf, follow_offset)) > 0) {
            follow_offset += n;
            follow_torn.append(buf, static_cast<size_t>(n));
            forward(false);
        }
        close(fd);
    }
    forward(final);
}

void supervisor::state::forward_loop() {
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

/* One status question to the daemon p; says "up" the first time korv
 * answers, "connected" the first time both links are. */
void supervisor::state::report_status(pid_t p, bool *up, bool *linked) {
    std::string text, err;
    korvctl_json st;
    if (korvctl_ask(korvctl_socket_path(opts.root), "status", &text, &err, 1000) != 0 ||
        korvctl_json_parse(text, &st, &err) != 0 || st["pid"].as_int() != p)
        return;
    const korvctl_json &work = st["links"]["work"], &nv = st["links"]["nv"];
    /* From korv's environment: status shows a link's port once connected. */
    std::string ports = "127.0.0.1 work port " + env_value(env, "KORV_WORK_PORT", "8010") + ", NV port " +
                        env_value(env, "KORV_NV_PORT", "8020");
    if (!*up) {
        drain(false);
        note(opts.service.name + " is up (pid " + std::to_string(p) + "), waiting for the framework on " + ports);
        *up = true;
    }
    if (work["connected"].boolean && nv["connected"].boolean) {
        drain(false);
        note(opts.service.name + " is connected to the framework on both links (" + ports + ")");
        *linked = true;
    }
}

void supervisor::state::watch_loop() {
    int seen_start = 0;
    bool up = false, linked = false;
    std::unique_lock<std::mutex> lk(mu);
    while (!stopping) {
        cv.wait_for(lk, std::chrono::milliseconds(200), [&] { return stopping; });
        if (stopping) break;
        pid_t p = pid;
        if (starts != seen_start) {
            seen_start = starts;
            up = linked = false;
        }
        lk.unlock();
        if (p > 0 && !linked) report_status(p, &up, &linked);
        lk.lock();
    }
}

std::string service_program(const supervisor_options &o) {
    if (!o.program.empty() || o.service.argv.empty()) return o.program;
    const std::string &dev = o.service.argv[0];
    return korv_sim_bin_dir() + "/" + dev.substr(dev.rfind('/') + 1);
}

namespace {

/* Every folder on the way to path, then path itself. */
void way_to(const std::string &path, std::vector<std::string> *out) {
    for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1))
        out->push_back(path.substr(0, at));
    out->push_back(path);
}

std::string mode_of(const std::string &path) {
    struct stat st;
    char text[16];
    if (stat(path.c_str(), &st) != 0) return "?";
    snprintf(text, sizeof text, "%04o", st.st_mode & 07777);
    return text;
}

}  // namespace

int user_can_run(const supervisor_options &o, std::string *why) {
    const std::string program = service_program(o);
    /* Paths to test, made before the fork: the child of a threaded process
     * only makes system calls. */
    std::vector<std::string> way;
    way_to(program, &way);
    way_to(o.root, &way);
    /* The root and what it holds are handed to the user before korv starts;
     * the folders above it are not. */
    std::vector<char> handed;
    for (const std::string &p : way) handed.push_back(p == o.root || p.rfind(o.root + "/", 0) == 0);
    int fds[2];
    if (pipe(fds) != 0) return *why = std::string("pipe: ") + strerror(errno), -1;
    pid_t p = fork();
    if (p == 0) {
        /* The daemon's credentials, as spawn() sets them. */
        close(fds[0]);
        int closed = -2;
        if (setgroups(0, nullptr) == 0 && setgid(o.gid) == 0 && setuid(o.uid) == 0) {
            closed = -1;
            for (size_t i = 0; i < way.size() && closed < 0; i++)
                if (!handed[i] && access(way[i].c_str(), X_OK) != 0) closed = static_cast<int>(i);
        }
        _exit(write(fds[1], &closed, sizeof closed) == sizeof closed ? 0 : 1);
    }
    close(fds[1]);
    int closed = -2, status = 0;
    bool answered = p > 0 && read(fds[0], &closed, sizeof closed) == sizeof closed;
    close(fds[0]);
    if (p > 0) waitpid(p, &status, 0);
    if (!answered || closed == -2 || closed >= static_cast<int>(way.size())) {
        *why = "cannot test what uid " + std::to_string(o.uid) + " can reach";
        return -1;
    }
    if (closed < 0) return 0;
    const std::string &path = way[static_cast<size_t>(closed)];
    if (path == program)
        *why = program + " is not executable for uid " + std::to_string(o.uid);
    else
        *why = "uid " + std::to_string(o.uid) + " cannot enter " + path + " (mode " + mode_of(path) +
               ") on the way to " + (program.rfind(path + "/", 0) == 0 ? program : o.root);
    return -1;
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
    s.program = service_program(s.opts);
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
    struct stat st;
    if (stat(s.follow_file.c_str(), &st) == 0) s.follow_offset = st.st_size;
    s.forwarder = std::thread([&s] { s.forward_loop(); });
    s.monitor = std::thread([&s] { s.monitor_loop(); });
    s.watcher = std::thread([&s] { s.watch_loop(); });
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
    s.watcher.join();
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
