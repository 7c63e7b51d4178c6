// korv-sim chaos: korv's life under the simulated init and the faults that
// end or shake it.  A fault that ends korv runs the same course: korv is
// marked down (the prober stops asking), its figures are checked flat, the
// fault hits, the run waits for the exit the fault should cause, reads the
// part of korv's log the ended korv wrote into the ledger (what it read and
// wrote), checks every NV file and canary, then waits for a new korv that
// answers and has both links.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "chaos_run.h"
#include "cutils/properties.h"
#include "data_image.h"
#include "sim_root.h"
#include "korvctl.h"

namespace korvsim {
namespace {

namespace fs = std::filesystem;

constexpr int k_exit_ms = 30000;  /* a fault to korv's exit */
constexpr int k_up_ms = 30000;    /* a start to status answered and both links */
const char k_fill[] = "/data/chaos-fill";
const char k_capture_dir[] = "/data/brimwell/korv/capture";

int since_ms(chaos_clock::time_point t0) {
    return (int)std::chrono::duration_cast<std::chrono::milliseconds>(chaos_clock::now() - t0).count();
}

bool wait_until(int ms, const std::function<bool()> &cond) {
    auto t0 = chaos_clock::now();
    while (!cond()) {
        if (since_ms(t0) >= ms) return false;
        usleep(20 * 1000);
    }
    return true;
}

size_t file_size(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (size_t)st.st_size : 0;
}

/* The bytes of a file from *cursor up to `end` (its size at most); the
 * cursor moves to the file's end.  A long run's log grows past a gigabyte:
 * only the new part is read. */
std::string read_new(const std::string &path, size_t *cursor, size_t end = SIZE_MAX) {
    size_t size = file_size(path), from = *cursor;
    *cursor = size;
    end = std::min(end, size);
    std::string part;
    int fd = from < end ? open(path.c_str(), O_RDONLY | O_CLOEXEC) : -1;
    if (fd < 0) return part;
    part.resize(end - from);
    ssize_t n = pread(fd, part.data(), part.size(), (off_t)from);
    part.resize(n > 0 ? (size_t)n : 0);
    close(fd);
    return part;
}

/* The log korv wrote since the last call (the ended korv's part). */
std::string log_chunk(chaos_state &s, size_t end = SIZE_MAX) { return read_new(s.log_path, &s.log_cursor, end); }

/* korv's standard output and error since the last call (where a sanitizer
 * report lands), line by line. */
void scan_out(chaos_state &s) {
    std::string all = read_new(s.root + "/korv.out", &s.out_cursor), ev;
    bool ok = true;
    for (size_t at = 0; ok && at < all.size();) {
        size_t nl = all.find('\n', at);
        if (nl == std::string::npos) nl = all.size();
        ok = chaos_check_log_line(all.substr(at, nl - at), &ev);
        at = nl + 1;
    }
    chaos_result(s, "clean: no sanitizer report", ok, ev);
}

/* The simulated init's reports: every exit must be one a fault caused. */
void on_line(chaos_state &s, const std::string &line) {
    std::string ev;
    if (line.find("korv exited with") == std::string::npos && line.find("korv killed by signal") == std::string::npos)
        return;
    int expect;
    {
        std::lock_guard<std::mutex> g(s.mu);
        expect = s.expect_exit;
        s.expect_exit = 0;
    }
    bool ok = expect != 0 && chaos_check_exit(line, expect == 2, &ev);
    if (expect == 0) ev = "korv ended without a fault that ends it: \"" + line + "\"";
    chaos_result(s, "clean: only the injected exits", ok, ev);
}

/* korv is going down: no more status checks, and its figures over its life. */
void mark_down(chaos_state &s, int expect) {
    s.up = false;
    s.up_gen++;
    s.last_sent = 0; /* what it did not read, no korv will */
    std::vector<chaos_proc_sample> life;
    {
        std::lock_guard<std::mutex> g(s.mu);
        s.expect_exit = expect;
        life.swap(s.life);
        s.life_pid = -1;
    }
    std::string ev;
    if (life.empty()) return;
    bool ok = chaos_check_flat(life, {}, &ev);
    chaos_result(s, "flat: descriptors, threads, memory", ok, ev);
}

/* Status answered by a korv other than `old_pid` and, with `links`, both
 * links newer than the counts given. */
int wait_up(chaos_state &s, pid_t old_pid, bool links, unsigned work_after, unsigned nv_after) {
    std::string socket = korvctl_socket_path(s.root), ev;
    pid_t pid = -1;
    bool answered = wait_until(k_up_ms, [&] {
        std::string text, err;
        pid = s.sup ? s.sup->pid() : -1;
        return pid > 0 && pid != old_pid && korvctl_ask(socket, "status", &text, &err, 1000) == 0;
    });
    int work_ms = 0, nv_ms = 0;
    if (answered && links) chaos_frame_wait_links(s, work_after, nv_after, k_up_ms, &work_ms, &nv_ms);
    bool ok = answered && work_ms >= 0 && nv_ms >= 0;
    chaos_result(s, links ? "alive: korv back with both links" : "alive: korv back", ok,
                 !answered ? "no korv answered within " + std::to_string(k_up_ms / 1000) + " s"
                           : "links not back within " + std::to_string(k_up_ms / 1000) + " s");
    if (!ok) return -1;
    {
        std::lock_guard<std::mutex> g(s.mu);
        s.life_pid = pid;
    }
    s.up = true;
    return 0;
}

int wait_exit(chaos_state &s, int exits_before, const char *what) {
    bool ok = wait_until(k_exit_ms, [&] { return s.sup->exits() > exits_before; });
    chaos_result(s, "alive: korv ends when it should", ok,
                 std::string("korv still running ") + std::to_string(k_exit_ms / 1000) + " s after " + what);
    return ok ? 0 : -1;
}

/* The common course of a fault that ends korv; `hit` injects it.  Without
 * `links` (the framework is away) the new korv need only answer. */
void ending_fault(chaos_state &s, const char *what, bool clean, const std::function<void()> &hit,
                  bool links = true) {
    pid_t pid = s.sup->pid();
    int exits = s.sup->exits();
    unsigned work = fwmd_connection_count(s.fw, FWMD_WORK), nv = fwmd_connection_count(s.fw, FWMD_NV);
    mark_down(s, clean ? 1 : 2);
    hit();
    if (wait_exit(s, exits, what) != 0) return;
    scan_out(s);
    chaos_ledger_korv_ended(&s.ledger, log_chunk(s), clean);
    chaos_check_files(s, what);
    wait_up(s, pid, links, work, nv);
}

/* A file korv must never write is as it was; once it was not, its new
 * bytes are the ones to keep, so that each change is told once. */
void check_untouched(chaos_state &s, const std::string &name, const std::string &when) {
    std::string now = chaos_read(chaos_host(s, name)), ev;
    bool ok = chaos_check_untouched(name, s.before[name], now, &ev);
    chaos_result(s, "nothing touched: files outside korv's own", ok, ev + when);
    if (!ok) s.before[name] = now;
}

/* ---- the modem exception ---- */

int open_pty(chaos_state &s) {
    int fd = -1;
    std::string link = s.root + "/dev/ttyled";
    wait_until(5000, [&] { return (fd = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) >= 0; });
    struct termios t;
    if (fd >= 0 && tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
    return fd;
}

/* The notification types read from the pty until a 2 (or the pty closes,
 * or the time is up). */
std::vector<uint32_t> read_notes(int fd, int ms) {
    std::vector<uint32_t> notes;
    std::string in;
    auto t0 = chaos_clock::now();
    while (fd >= 0 && since_ms(t0) < ms) {
        struct pollfd pf = {fd, POLLIN, 0};
        if (poll(&pf, 1, 100) <= 0) continue;
        char buf[64];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0 && (n == 0 || (errno != EAGAIN && errno != EINTR))) break;
        if (n > 0) in.append(buf, (size_t)n);
        for (; in.size() >= 4; in.erase(0, 4)) notes.push_back((uint8_t)in[0]);
        if (!notes.empty() && notes.back() == 2) break;
    }
    return notes;
}

/* The modem's side of an exception: a dump record ("ME", type 2, four
 * bytes of payload) on the exception channel. */
void write_exception_record(chaos_state &s) {
    std::string err;
    if (korv_sim_exception(s.root, 2, &err) != 0) chaos_result(s, "framework script", false, err);
}

/* The radio layer's side of an AT time-out: the property korv watches, set
 * through the property store as korv-sim setprop sets it. */
void set_at_timeout(chaos_state &s) {
    errno = 0;
    if (property_set("radio.brimwell.at_timeout", "1") != 0)
        chaos_result(s, "framework script", false,
                     "cannot set radio.brimwell.at_timeout: " + std::string(errno ? strerror(errno) : "refused"));
}

/* Either way korv handles a modem exception: notification 1, the dump tool,
 * notification 2, and it ends itself for the init to start it again. */
void fault_exception(chaos_state &s, const char *what, void (*trigger)(chaos_state &)) {
    int pty = open_pty(s);
    int starts = s.sup->starts();
    std::vector<uint32_t> notes;
    ending_fault(s, what, true, [&] {
        trigger(s);
        notes = read_notes(pty, k_exit_ms);
    });
    if (pty >= 0) close(pty);
    std::string ev;
    bool ok = chaos_check_exception(notes, s.sup->starts() > starts, &ev);
    chaos_result(s, "alive: exception ends in notification 2 and a restart", ok, ev);
}

/* ---- the framework away ---- */

void fault_link_drop(chaos_state &s, uint32_t away_ms) {
    auto t0 = chaos_clock::now();
    ending_fault(s, "the framework's links dropped", true, [&] { chaos_frame_stop(s); }, false);
    int left = (int)away_ms - since_ms(t0);
    if (left > 0) usleep((useconds_t)left * 1000);
    bool listening = wait_until(5000, [&] { return chaos_frame_start(s) == 0; });
    int work_ms = -1, nv_ms = -1;
    if (listening) chaos_frame_wait_links(s, 0, 0, 10000, &work_ms, &nv_ms);
    std::string ev = listening ? "" : "fwmd cannot listen on its ports again";
    bool ok = listening && chaos_check_reconnect(work_ms, nv_ms, &ev);
    chaos_result(s, "alive: links back within 2 s of the framework", ok, ev);
}

/* ---- the power cut ---- */

int run_status(const std::vector<std::string> &argv, std::string *out) {
    std::string cmd;
    for (const auto &a : argv) cmd += "'" + a + "' ";
    FILE *p = popen((cmd + "2>&1").c_str(), "r");
    if (!p) return -1;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out->append(buf, n);
    int st = pclose(p);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

/* The cut copy checked (its journal replayed) and put in place of the
 * image, mounted on /data again.  0 or -1 (a failure recorded). */
int restore_cut(chaos_state &s, const std::string &cut) {
    std::string err, report;
    bool unmounted = wait_until(10000, [&] { return korv_sim_umount(s.root, &err) == 0; });
    if (!unmounted) return chaos_result(s, "power cut: /data unmounted", false, err), -1;
    int st = run_status({"e2fsck", "-f", "-y", cut}, &report);
    std::string ev;
    bool ok = chaos_check_fsck(st, report, &ev);
    chaos_result(s, "power cut: image passes e2fsck", ok, ev);
    if (rename(cut.c_str(), (s.root + "/data.img").c_str()) != 0 || korv_sim_data_image(s.root, s.image_mib, &err) != 0) {
        chaos_result(s, "power cut: image mounted again", false, err.empty() ? strerror(errno) : err);
        return -1;
    }
    unlink(chaos_host(s, k_fill).c_str());
    return 0;
}

void fault_powercut(chaos_state &s) {
    std::string cut = s.root + "/cut.img", err;
    pid_t pid = s.sup->pid();
    mark_down(s, 2);
    /* The log up to the cut: any later line is of a korv the cut ended. */
    size_t log_at = file_size(s.log_path);
    int rc = korv_sim_powercut(s.root, cut, &err);
    if (pid > 0) kill(-pid, SIGKILL);
    s.sup->stop();
    s.sup.reset();
    {
        std::lock_guard<std::mutex> g(s.mu);
        s.expect_exit = 0;
    }
    scan_out(s);
    if (rc != 0) return chaos_result(s, "power cut: image copied", false, err);
    chaos_ledger_korv_ended(&s.ledger, log_chunk(s, log_at), false);
    if (restore_cut(s, cut) != 0) return;
    chaos_check_files(s, "a power cut");
    chaos_korv_start(s);
}

/* ---- /data filling up, captures ---- */

void fault_fill(chaos_state &s) {
    std::string path = chaos_host(s, k_fill);
    struct statvfs v;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0 || statvfs(path.c_str(), &v) != 0) {
        chaos_result(s, "framework script", false, "cannot fill /data: " + std::string(strerror(errno)));
    } else {
        /* Whatever is free, in shrinking pieces until nothing more fits. */
        off_t at = 0;
        for (off_t piece = (off_t)v.f_bavail * (off_t)v.f_frsize; piece >= 4096; piece /= 2)
            while (fallocate(fd, 0, at, piece) == 0) at += piece;
    }
    if (fd >= 0) close(fd);
}

/* One control request, timed: answered within the status limit. */
void timed_ask(chaos_state &s, const std::string &req) {
    std::string text, err, ev;
    auto t0 = chaos_clock::now();
    int rc = korvctl_ask(korvctl_socket_path(s.root), req, &text, &err, 5000);
    bool ok = chaos_check_status(rc == 0, since_ms(t0), err, &ev);
    chaos_result(s, "alive: control request answered within 1 s", ok, "\"" + req + "\": " + ev);
}

void remove_captures(chaos_state &s) {
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(chaos_host(s, k_capture_dir), ec))
        if (e.path().extension() == ".pcapng") fs::remove(e.path(), ec);
}

void capture(chaos_state &s, const chaos_step &st) {
    timed_ask(s, st.kind == CK_CAPTURE_START ? "capture start chaos" + std::to_string(st.a) : "capture stop");
    if (st.kind == CK_CAPTURE_STOP) remove_captures(s);
}

/* Something planted where the capture chaosN is to be written (a link to a
 * file outside korv's own, or a named pipe), then that capture started and
 * stopped: korv answers in time and the link's target stays as it was. */
void fault_plant(chaos_state &s, const chaos_step &st) {
    std::string name = "chaos" + std::to_string(st.a), dir = chaos_host(s, k_capture_dir);
    std::string at = dir + "/" + name + ".pcapng";
    std::error_code ec;
    timed_ask(s, "capture stop");
    remove_captures(s);
    fs::create_directories(dir, ec);
    bool planted = st.kind == CK_PLANT_LINK ? symlink(chaos_host(s, k_link_target).c_str(), at.c_str()) == 0
                                            : mkfifo(at.c_str(), 0666) == 0;
    if (!planted) return chaos_result(s, "framework script", false, "cannot plant at " + at + ": " + strerror(errno));
    timed_ask(s, "capture start " + name);
    /* A reader lets an open that blocked on the pipe go on, so that the
     * rest of the run meets a korv that can still be stopped. */
    int reader = st.kind == CK_PLANT_FIFO ? open(at.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1;
    timed_ask(s, "capture stop");
    if (reader >= 0) close(reader);
    unlink(at.c_str());
    remove_captures(s);
    check_untouched(s, k_link_target, " (after " + chaos_step_text(st) + ")");
}

/* ---- hostile control clients ---- */

int ctl_connect(chaos_state &s) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof a.sun_path, "%s", korvctl_socket_path(s.root).c_str());
    if (fd >= 0 && connect(fd, (sockaddr *)&a, sizeof a) != 0) {
        close(fd);
        fd = -1;
    }
    return fd;
}

/* Two seconds of connects as fast as one thread makes them, while the run
 * asks for the status. */
void fault_flood(chaos_state &s) {
    std::atomic<bool> done{false};
    std::thread flood([&] {
        while (!done) {
            int fd = ctl_connect(s);
            if (fd >= 0) close(fd);
        }
    });
    for (int i = 0; i < 4; i++) {
        usleep(500 * 1000);
        timed_ask(s, "status");
    }
    done = true;
    flood.join();
}

/* Four clients that each send one byte of a request every 3.5 s, for 8 s,
 * while the run asks for the status every second. */
void fault_trickle(chaos_state &s) {
    std::vector<int> fds;
    for (int i = 0; i < 4; i++)
        if (int fd = ctl_connect(s); fd >= 0) fds.push_back(fd);
    const char request[] = "status\n";
    auto t0 = chaos_clock::now();
    for (int sent = 0, tick = 0; since_ms(t0) < 8000; tick++) {
        if (since_ms(t0) >= sent * 3500) {
            for (int fd : fds) (void)!send(fd, request + sent % 6, 1, MSG_NOSIGNAL);
            sent++;
        }
        usleep(1000 * 1000);
        timed_ask(s, "status");
    }
    for (int fd : fds) close(fd);
}

/* ---- a slow modem driver ---- */

/* Three seconds in which every driver request takes `delay_ms`, while the
 * framework asks for a load and a SIM voltage each second and the run asks
 * for the status: requests wait for the driver, the control socket does not. */
void fault_slow_driver(chaos_state &s, uint32_t delay_ms) {
    std::string conf = s.root + "/dev/modem.conf", before = chaos_read(conf);
    std::ofstream(conf, std::ios::app) << "\ndelay_ms = " << delay_ms << "   # chaos: a slow driver\n";
    for (uint32_t i = 0; i < 3; i++) {
        chaos_step load;
        load.kind = CK_LOAD;
        load.a = i % 2;
        chaos_frame_step(s, load);
        chaos_step voltage;
        voltage.kind = CK_VOLTAGE;
        voltage.a = i % 2;
        voltage.b = 1 + i;
        chaos_frame_step(s, voltage);
        timed_ask(s, "status");
        usleep(1000 * 1000);
    }
    std::ofstream(conf, std::ios::trunc) << before;
}

/* ---- planted at an NV file ---- */

/* Waits until a whole line of korv's log from byte `from` on satisfies
 * `match`, at most `limit_ms`; each poll reads only what is new. */
bool wait_log_line(chaos_state &s, size_t from, int limit_ms, const std::function<bool(const std::string &)> &match) {
    std::string pending;
    return wait_until(limit_ms, [&] {
        pending += read_new(s.log_path, &from);
        for (size_t nl; (nl = pending.find('\n')) != std::string::npos; pending.erase(0, nl + 1))
            if (match(pending.substr(0, nl))) return true;
        return false;
    });
}

/* Waits until the running korv's writer has taken the newest entry sent to
 * it (its line in korv's log), at most `limit_ms`: a plant must meet only
 * the entries sent for it, and korv may sit for seconds with entries unread
 * (a UTRAN stop pauses its looper for 2 s). */
void wait_written(chaos_state &s, int limit_ms) {
    if (s.last_sent == 0) return;
    std::string mark = chaos_written_text(s.ledger.sent[s.last_sent]);
    wait_log_line(s, s.log_cursor, limit_ms, [&](const std::string &line) { return line.find(mark) != std::string::npos; });
}

/* Waits until korv's log has not grown for a moment (its writer idle, its
 * batch's files closed), at most `limit_ms`. */
void wait_log_quiet(chaos_state &s, int limit_ms) {
    size_t last = file_size(s.log_path);
    auto still = chaos_clock::now();
    wait_until(limit_ms, [&] {
        size_t now = file_size(s.log_path);
        if (now != last) last = now, still = chaos_clock::now();
        return since_ms(still) >= 300;
    });
}

/* A link to a file outside (or a named pipe) stands at a waveform's NV file,
 * the file itself moved aside, while the framework sends entries to it:
 * korv refuses the path, stays alive, and writes nothing through the link.
 * The entries are exempt from the ledger (korv cannot keep them); the file
 * is put back afterwards. */
void fault_plant_nv(chaos_state &s, const chaos_step &st) {
    const chaos_nv_file &f = chaos_nv_files()[st.a];
    std::string at = chaos_host(s, f.file), held = at + ".chaos-held";
    wait_written(s, 10000);
    wait_log_quiet(s, 10000);
    size_t log_from = file_size(s.log_path);
    if (rename(at.c_str(), held.c_str()) != 0)
        return chaos_result(s, "framework script", false, "cannot move " + at + " aside: " + strerror(errno));
    /* A relative link that climbs out of the NV root, short enough to fit
     * in its inode however deep the phone's folder (/data may be full). */
    std::string up = fs::path(chaos_host(s, k_link_target)).lexically_relative(fs::path(at).parent_path()).string();
    bool planted = st.kind == CK_PLANT_NV_LINK ? symlink(up.c_str(), at.c_str()) == 0 : mkfifo(at.c_str(), 0666) == 0;
    if (planted) {
        for (const chaos_entry &e : chaos_burst_entries(st)) s.ledger.exempt.insert(e.seq);
        chaos_frame_step(s, st);
        /* korv names the path as the framework gave it: folder, "/", name. */
        std::string mark = std::string("refused path ") + f.dir, name = std::string(strrchr(f.file, '/')) + ": ";
        bool refused = wait_log_line(s, log_from, 5000, [&](const std::string &line) {
            return line.find(mark) != std::string::npos && line.find(name) != std::string::npos;
        });
        chaos_result(s, "nothing touched: korv refuses what is planted at its NV file", refused,
                     "no \"" + mark + "..." + name + "\" in korv's log within 5 s of the entries");
        timed_ask(s, "status");
        wait_log_quiet(s, 5000);
        unlink(at.c_str());
    } else {
        chaos_result(s, "framework script", false, "cannot plant at " + at + ": " + strerror(errno));
    }
    if (rename(held.c_str(), at.c_str()) != 0)
        chaos_result(s, "framework script", false, "cannot put " + at + " back: " + strerror(errno));
    /* Durable before the next fault: a later power cut must find the file
     * in its place, not the plant (the journal commits a rename only every
     * few seconds). */
    int dir = open(fs::path(at).parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0 || fsync(dir) != 0)
        chaos_result(s, "framework script", false, "cannot sync the folder of " + at + ": " + strerror(errno));
    if (dir >= 0) close(dir);
    check_untouched(s, k_link_target, " (after " + chaos_step_text(st) + ")");
}

}  // namespace

int chaos_korv_start(chaos_state &s) {
    supervisor_options so;
    std::string err;
    so.root = s.root;
    /* korv's log goes to a file of its own that the run reads itself; the
     * simulated init follows only korv's standard output and error, where a
     * sanitizer report lands.  Its forwarding of a busy log cannot keep up. */
    so.log_file = s.root + "/korv.out";
    if (rc_load(s.root + "/system/etc/init/korv.rc", "korv", &so.service, &err) != 0)
        return chaos_result(s, "korv started", false, err), -1;
    /* Every fault here is an exit: the run, not the simulated init, decides
     * when korv has ended too often. */
    so.service.crash_limit = INT_MAX;
    so.env = {"KORV_WORK_PORT=" + std::to_string(s.work_port), "KORV_NV_PORT=" + std::to_string(s.nv_port),
              "KORV_LOG_FILE=" + s.log_path};
    so.out = [&s](const std::string &line) { on_line(s, line); };
    unsigned work = fwmd_connection_count(s.fw, FWMD_WORK), nv = fwmd_connection_count(s.fw, FWMD_NV);
    s.sup = std::make_unique<supervisor>(so);
    if (s.sup->start(&err) != 0) return chaos_result(s, "korv started", false, err), -1;
    return wait_up(s, -1, true, work, nv);
}

void chaos_korv_final_stop(chaos_state &s) {
    if (!s.sup) return;
    mark_down(s, 1);
    s.sup->stop();
    {
        std::lock_guard<std::mutex> g(s.mu);
        s.expect_exit = 0;
    }
    scan_out(s);
    chaos_ledger_korv_ended(&s.ledger, log_chunk(s), true);
    chaos_check_files(s, "the final stop");
}

void chaos_check_files(chaos_state &s, const char *after) {
    const std::string when = std::string(" (after ") + after + ")";
    for (uint32_t i = 0; i < chaos_nv_files().size(); i++) {
        const std::string &name = chaos_nv_files()[i].file;
        std::vector<std::string> ev;
        bool ok = chaos_check_nv_file(s.ledger, i, s.before[name], chaos_read(chaos_host(s, name)), &ev);
        std::string text;
        for (size_t k = 0; k < ev.size() && k < 8; k++) text += (k ? "\n    " : "") + ev[k];
        if (ev.size() > 8) text += "\n    ... and " + std::to_string(ev.size() - 8) + " more";
        chaos_result(s, "nothing lost, nothing torn: NV files", ok, text + when);
    }
    for (const auto &b : s.before) {
        bool nv = false;
        for (const auto &f : chaos_nv_files()) nv = nv || b.first == f.file;
        if (nv) continue;
        check_untouched(s, b.first, when);
    }
}

void chaos_fault_step(chaos_state &s, const chaos_step &st) {
    usleep(st.pause_ms * 1000);
    switch (st.kind) {
    case CK_SIGTERM:
        ending_fault(s, "SIGTERM", true, [&] { kill(s.sup->pid(), SIGTERM); });
        break;
    case CK_SIGKILL:
        ending_fault(s, "SIGKILL", false, [&] { kill(s.sup->pid(), SIGKILL); });
        break;
    case CK_EXCEPTION:
        fault_exception(s, "a modem exception", write_exception_record);
        break;
    case CK_AT_TIMEOUT:
        fault_exception(s, "an AT time-out", set_at_timeout);
        break;
    case CK_CTL_FLOOD:
        fault_flood(s);
        break;
    case CK_CTL_TRICKLE:
        fault_trickle(s);
        break;
    case CK_PLANT_LINK:
    case CK_PLANT_FIFO:
        fault_plant(s, st);
        break;
    case CK_PLANT_NV_LINK:
    case CK_PLANT_NV_FIFO:
        fault_plant_nv(s, st);
        break;
    case CK_SLOW_DRIVER:
        fault_slow_driver(s, st.a);
        break;
    case CK_LINK_DROP:
        fault_link_drop(s, st.a);
        break;
    case CK_POWERCUT:
        fault_powercut(s);
        break;
    case CK_DATA_FILL:
        fault_fill(s);
        break;
    case CK_DATA_EMPTY:
        unlink(chaos_host(s, k_fill).c_str());
        break;
    case CK_CAPTURE_START:
    case CK_CAPTURE_STOP:
        capture(s, st);
        break;
    default:
        break;
    }
}

}  // namespace korvsim
