/* Exception latency: microseconds from a dump record written to the
 * exception channel until notification 1 can be read on the pty.  A daemon
 * handles one exception in its life (it then resets the modem and restarts),
 * so every sample is a fresh korv on a fresh root.  Baseline: a relay thread
 * blocked in read(2) on a FIFO that writes the same 4-byte record to a pty
 * master when it sees the same dump record. */
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <thread>

#include "bench.h"
#include "fwmd.h"

namespace kb {

/* "ME", type 2 (modem dump), length 0 */
static const uint8_t k_dump[10] = {'M', 'E', 2, 0, 0, 0, 0, 0, 0, 0};
/* a record of a type neither side acts on, telling the relay to end */
static const uint8_t k_quit[10] = {'M', 'E', 9, 0, 0, 0, 0, 0, 0, 0};

static void make_raw(int fd)
{
    struct termios t;
    if (tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
}

/* Writes the record, waits for the first notification byte; microseconds or
 * a negative value. */
static double notify_us(int channel_fd, int pty_fd)
{
    uint8_t note[4];
    uint64_t t0 = now_ns();
    if (write(channel_fd, k_dump, sizeof k_dump) != (ssize_t)sizeof k_dump)
        return -1;
    struct pollfd p = {pty_fd, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1 || read(pty_fd, note, sizeof note) < 1 || note[0] != 1)
        return -1;
    return (double)(now_ns() - t0) / 1e3;
}

static bool wait_ready(const korvtest::sim_root &r)
{
    std::string prop = r.path("/dev/__properties__/persist.sys.modem.exception");
    uint64_t end = now_ns() + 10000000000ull;
    while (now_ns() < end) {
        char v = 0;
        struct stat st;
        if (lstat(r.path("/dev/ttyled").c_str(), &st) == 0 && read_at(prop, 0, &v, 1) && v == '0') {
            /* the channel's read event is armed right after the property */
            sleep_us(20000);
            return true;
        }
        sleep_us(1000);
    }
    return false;
}

/* One korv on a fresh root: the time from a dump record to notification 1. */
static double korv_once(log_mode m, std::string *why)
{
    session s(m);
    double us = -1;
    int pty = -1;
    if (s.korv->pid <= 0 || !s.up(10000))
        *why = "cannot start fwmd or korv";
    else if (!wait_ready(s.root))
        *why = "korv did not set up the exception channel";
    else if ((pty = open(s.root.path("/dev/ttyled").c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC)) < 0)
        *why = "cannot open the pty";
    if (pty >= 0) {
        make_raw(pty);
        us = notify_us(s.socbridge_w, pty);
        if (us < 0)
            *why = "no notification 1 on the pty";
        close(pty);
    }
    return us;
}

static void relay(int channel_fd, int master_fd)
{
    static const uint8_t note[4] = {1, 0, 0, 0};
    uint8_t buf[255];
    for (;;) {
        ssize_t n = read(channel_fd, buf, sizeof buf);
        if (n < 10 || buf[0] != 'M' || buf[1] != 'E' || buf[2] != 2)
            return;
        if (write(master_fd, note, sizeof note) != (ssize_t)sizeof note)
            return;
    }
}

/* The relay's channel, pty and thread; samples are taken on one relay. */
static bool baseline(int samples, std::vector<double> *out, std::string *why)
{
    char dir[] = "/tmp/korv-bench-relay-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        *why = "baseline cannot make a folder";
        return false;
    }
    std::string fifo = std::string(dir) + "/socbridge";
    int wfd = -1, rfd = -1, master = -1, slave = -1;
    bool ok = false;
    if (mkfifo(fifo.c_str(), 0600) == 0 && (wfd = open(fifo.c_str(), O_RDWR | O_CLOEXEC)) >= 0 &&
        (rfd = open(fifo.c_str(), O_RDONLY | O_CLOEXEC)) >= 0 &&
        (master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) >= 0 && grantpt(master) == 0 &&
        unlockpt(master) == 0 && (slave = open(ptsname(master), O_RDONLY | O_NOCTTY | O_CLOEXEC)) >= 0) {
        make_raw(master);
        make_raw(slave);
        std::thread t(relay, rfd, master);
        ok = true;
        for (int i = 0; i < samples && ok; i++) {
            double us = notify_us(wfd, slave);
            ok = us >= 0;
            out->push_back(us);
        }
        if (write(wfd, k_quit, sizeof k_quit) != (ssize_t)sizeof k_quit)
            ok = false;
        t.join();
    }
    for (int fd : {wfd, rfd, master, slave})
        if (fd >= 0)
            close(fd);
    unlink(fifo.c_str());
    rmdir(dir);
    if (!ok)
        *why = "baseline relay failed";
    return ok;
}

void figure_exception(log_mode m)
{
    std::string name = "exception record to notification 1 (us)";
    int samples = g_opt.smoke ? 1 : 9;
    std::string why;
    std::vector<double> kr, br;
    /* the first start is a warm-up */
    for (int i = 0; i <= samples; i++) {
        double us = korv_once(m, &why);
        if (us < 0)
            return add_failure(name, m, why);
        if (i > 0)
            kr.push_back(us);
    }
    if (!baseline(samples + 1, &br, &why))
        return add_failure(name, m, why);
    br.erase(br.begin());
    double kv = median(kr), bv = median(br);
    add_row({name, log_name(m), fmt("%.0f", kv), fmt("%.0f", bv), fmt("%.1f", kv / bv), "-", "-"});
}

} // namespace kb
