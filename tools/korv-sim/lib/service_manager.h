// The simulated phone's init, as far as korv needs one: reads korv's service
// definition from an init rc file, starts the daemon on a simulated root in a
// process group of its own with the sockets the rc file declares, restarts it
// whenever it exits (korv ends itself after a modem reset and relies on
// that), gives up on a crash loop, forwards the daemon's log, and stops it on
// request.
#ifndef KORVSIM_SERVICE_MANAGER_H
#define KORVSIM_SERVICE_MANAGER_H

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace korvsim {

/* A socket init creates for a service ("socket NAME stream MODE [USER
 * [GROUP]]"): /dev/socket/NAME, handed over in ANDROID_SOCKET_NAME. */
struct socket_def {
    std::string name;
    unsigned mode = 0660;
    std::string user, group; /* applied when the host knows them */
};

/* One service of an rc file, the options the simulated init acts on. */
struct service_def {
    std::vector<socket_def> sockets;
    std::string name;
    std::vector<std::string> argv;  /* argv[0]: the program's device path */
    int restart_period_ms = 5000;   /* least time from one start to the next */
    bool oneshot = false;           /* never restarted */
    bool critical = false;          /* on a phone: reboot on a crash loop */
    /* The simulated init reports a crash loop and stops restarting, critical
     * or not: a loop on a developer's machine is a bug to look at. */
    int crash_window_ms = 60 * 1000;
    int crash_limit = 4;            /* more exits than this within the window */
};

/* Finds service `name` in rc text; 0, or -1 with a message in *err. */
int rc_parse(const std::string &text, const std::string &name, service_def *def,
             std::string *err);
int rc_load(const std::string &path, const std::string &name, service_def *def,
            std::string *err);

struct supervisor_options {
    std::string root;                /* KORV_ROOT of the daemon */
    service_def service;
    std::string program;             /* host program; empty: bin dir + argv[0]'s name */
    std::vector<std::string> env;    /* extra NAME=value entries, they win */
    std::string log_file;            /* KORV_LOG_FILE; empty: <root>/korv.log */
    /* The user the daemon runs as (no supplementary groups), as init's
     * "user" line does; -1: the manager's own.  The log file is opened as
     * that user. */
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);
    int grace_ms = 5000;             /* from SIGTERM to SIGKILL of the group */
    /* Receives every line for the user (the manager's own and the daemon's
     * log), one call per line, never two at once; empty: standard output. */
    std::function<void(const std::string &)> out;
};

class supervisor {
  public:
    explicit supervisor(supervisor_options opts);
    ~supervisor(); /* stop() */
    supervisor(const supervisor &) = delete;
    supervisor &operator=(const supervisor &) = delete;

    /* Starts the daemon and the manager's threads; 0, or -1 with *err. */
    int start(std::string *err);
    /* Stops the daemon (SIGTERM, then SIGKILL of its group after the grace
     * period) and the manager's threads.  Safe to call more than once. */
    void stop();

    pid_t pid() const;       /* the running daemon, or -1 */
    int starts() const;      /* daemons started so far */
    int exits() const;       /* daemons that ended so far */
    bool crash_loop() const; /* gave up: too many exits within the window */
    bool finished() const;   /* no daemon running and none to come */

  private:
    struct state;
    std::unique_ptr<state> s_;
};

}  // namespace korvsim

#endif
