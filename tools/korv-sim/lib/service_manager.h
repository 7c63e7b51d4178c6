// The simulated phone's init, as far as korv needs one: reads korv's service
// definition from an init rc file, starts the daemon on a simulated root in a
// process group of its own with the sockets the rc file declares, restarts it
// as Android's init does (korv ends itself after a modem reset and relies on
// that): a service after its restart period, for ever; a critical one until
// it crashes more often than init allows, where the phone would reboot.  It
// forwards the daemon's log, says when korv is up and when the framework is
// connected (asked over korv's control socket), and stops it on request.
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
    /* "critical [window=MINUTES] [target=TARGET]": more than crash_limit
     * exits within the window make init reboot the phone into the target;
     * the simulated init says so and stops.  Without "critical" a service is
     * restarted after every exit, however often, as init does. */
    bool critical = false;
    int crash_window_ms = 4 * 60 * 1000;
    int crash_limit = 4;
    std::string reboot_target = "bootloader";
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
     * that user.  A socket's group that this machine does not know (radio)
     * becomes gid: the group korv runs in, as radio is on the phone. */
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);
    int grace_ms = 5000;             /* from SIGTERM to SIGKILL of the group */
    /* Receives every line for the user (the manager's own and the daemon's
     * log), one call per line, never two at once; empty: standard output. */
    std::function<void(const std::string &)> out;
};

/* The host program that runs as the service. */
std::string service_program(const supervisor_options &o);

/* Whether the daemon, run as o.uid/o.gid, can execute its program and enter
 * every folder on the way to it and to o.root (what lies in the root is
 * handed to that user first, so it counts as reachable): 0, or -1 with what
 * stops it in *why. */
int user_can_run(const supervisor_options &o, std::string *why);

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
    bool crash_loop() const; /* a critical service crashed too often: the phone would reboot */
    bool finished() const;   /* no daemon running and none to come */

  private:
    struct state;
    std::unique_ptr<state> s_;
};

}  // namespace korvsim

#endif
