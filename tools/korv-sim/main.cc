// korv-sim: the simulated phone on this machine.
//   korv-sim init DIR   builds (or completes) a phone root in DIR
//   korv-sim run DIR    runs korv on DIR under the simulated init until
//                       SIGINT/SIGTERM (status 0) or a crash loop (status 1)
//   korv-sim demo [--keep DIR]
//                       plays the demonstration on a fresh root (status 0
//                       when every check passed)
// KORV_SIM_DAEMON names another program to run in korv's place (tests).
#include <signal.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "demo.h"
#include "service_manager.h"
#include "sim_root.h"

namespace {

int cmd_init(const std::string &dir) {
    std::string err;
    if (korv_sim_init(dir, &err) != 0) {
        fprintf(stderr, "korv-sim init: %s\n", err.c_str());
        return 1;
    }
    printf("korv-sim: phone root ready in %s\n", dir.c_str());
    return 0;
}

int cmd_run(const std::string &dir) {
    korvsim::supervisor_options opts;
    std::string err;
    opts.root = std::filesystem::absolute(dir).string();
    if (korvsim::rc_load(opts.root + "/system/etc/init/korv.rc", "korv", &opts.service, &err) != 0) {
        fprintf(stderr, "korv-sim run: %s (run korv-sim init %s first)\n", err.c_str(), dir.c_str());
        return 1;
    }
    if (const char *d = getenv("KORV_SIM_DAEMON"); d && *d) opts.program = d;

    /* Block the stop signals before any thread exists, then take them here. */
    sigset_t stop_set;
    sigemptyset(&stop_set);
    sigaddset(&stop_set, SIGINT);
    sigaddset(&stop_set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_set, nullptr);

    korvsim::supervisor sup(opts);
    if (sup.start(&err) != 0) {
        fprintf(stderr, "korv-sim run: %s\n", err.c_str());
        return 1;
    }
    const timespec tick{0, 100 * 1000 * 1000};
    int sig = -1;
    while (!sup.finished() && (sig = sigtimedwait(&stop_set, nullptr, &tick)) < 0) {
    }
    if (sig > 0) printf("korv-sim: %s received; stopping korv\n", strsignal(sig));
    sup.stop();
    return sup.crash_loop() ? 1 : 0;
}

int cmd_demo(int argc, char **argv) {
    korvsim::demo_options opts;
    if (argc == 2 && strcmp(argv[0], "--keep") == 0) {
        opts.keep_dir = argv[1];
    } else if (argc != 0) {
        fprintf(stderr, "usage: korv-sim demo [--keep DIR]\n");
        return 2;
    }
    return korvsim::run_demo(opts);
}

struct command {
    const char *name;
    const char *args;
    int (*run)(const std::string &dir);
};

const command k_commands[] = {
    {"init", "DIR", cmd_init},
    {"run", "DIR", cmd_run},
};

int usage() {
    fprintf(stderr, "usage:\n");
    for (const auto &c : k_commands) fprintf(stderr, "  korv-sim %s %s\n", c.name, c.args);
    fprintf(stderr, "  korv-sim demo [--keep DIR]\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc >= 2 && strcmp(argv[1], "demo") == 0) return cmd_demo(argc - 2, argv + 2);
    if (argc != 3) return usage();
    for (const auto &c : k_commands)
        if (strcmp(argv[1], c.name) == 0) return c.run(argv[2]);
    return usage();
}
