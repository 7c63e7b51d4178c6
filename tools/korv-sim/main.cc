// korv-sim: the simulated phone on this machine.
//   korv-sim init DIR [--data-image MIB]
//                       builds (or completes) a phone root in DIR; with
//                       --data-image (root only) its data/ is an ext4 image
//                       DIR/data.img of MIB MiB, loop-mounted on DIR/data
//   korv-sim powercut DIR OUT
//                       copies DIR/data.img to OUT as a power cut now leaves
//                       it (nothing synced or unmounted first)
//   korv-sim inspect OUT MNT
//                       e2fsck on the copy (replays its journal), then
//                       mounts it read-only on MNT
//   korv-sim umount DIR unmounts DIR/data (or DIR, a mounted copy)
//   korv-sim run [--user NAME] DIR
//                       runs korv on DIR under the simulated init until
//                       SIGINT/SIGTERM (status 0) or a crash loop (status 1);
//                       with --user (as root), korv runs as NAME and the
//                       root is handed to NAME first
//   korv-sim demo [--keep DIR]
//                       plays the demonstration on a fresh root (status 0
//                       when every check passed); run as root, korv runs as
//                       the unprivileged user "nobody"
//   korv-sim logcat DIR [-b radio]
//                       prints a log buffer of the root in DIR (the radio
//                       buffer by default) as `logcat -v threadtime` would
//   korv-sim chaos DIR [--seed N] [--minutes M] [--without KINDS] [--plan STEPS]
//                       (root) korv on a new phone in DIR under seeded
//                       traffic and faults, every invariant checked
//                       (docs/reliability.md); --without leaves kinds of
//                       step out; --plan prints the plan only
// KORV_SIM_DAEMON names another program to run in korv's place (tests).
#include <signal.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "chaos.h"
#include "data_image.h"
#include "demo.h"
#include "logcat.h"
#include "service_manager.h"
#include "sim_root.h"

namespace {

/* mib 0: the data directory stays a plain directory of DIR. */
int cmd_init(const std::string &dir, unsigned mib) {
    std::string err;
    if ((mib != 0 && korv_sim_data_image(dir, mib, &err) != 0) || korv_sim_init(dir, &err) != 0 ||
        (mib != 0 && korv_sim_data_settle(dir, &err) != 0)) {
        fprintf(stderr, "korv-sim init: %s\n", err.c_str());
        return 1;
    }
    printf("korv-sim: phone root ready in %s%s\n", dir.c_str(), mib != 0 ? " (data on data.img)" : "");
    return 0;
}

int cmd_init_image(const std::string &dir, const char *mib_text) {
    char *end = nullptr;
    unsigned long mib = strtoul(mib_text, &end, 10);
    if (end == mib_text || *end != '\0' || mib < 16 || mib > 65536) {
        fprintf(stderr, "korv-sim init: --data-image takes a size in MiB from 16 to 65536\n");
        return 2;
    }
    return cmd_init(dir, (unsigned)mib);
}

/* One of the data-image commands; prints err on failure. */
int image_result(const char *cmd, int rc, const std::string &err) {
    if (rc != 0) fprintf(stderr, "korv-sim %s: %s\n", cmd, err.c_str());
    return rc != 0 ? 1 : 0;
}

int cmd_inspect(const std::string &image, const std::string &mnt) {
    std::string report, err;
    int rc = korv_sim_inspect(image, mnt, &report, &err);
    fputs(report.c_str(), stdout);
    if (rc == 0) printf("korv-sim: %s checked and mounted read-only on %s\n", image.c_str(), mnt.c_str());
    return image_result("inspect", rc, err);
}

/* korv as `user`: the root becomes that user's, as the phone's packaging
 * gives korv its files. */
int run_as(const std::string &user, korvsim::supervisor_options *opts) {
    std::string err;
    if (korv_sim_user(user, &opts->uid, &opts->gid, &err) != 0 || korv_sim_own(opts->root, opts->uid, opts->gid, &err) != 0) {
        fprintf(stderr, "korv-sim run: %s\n", err.c_str());
        return -1;
    }
    return 0;
}

int cmd_run(const std::string &dir, const std::string &user) {
    korvsim::supervisor_options opts;
    std::string err;
    opts.root = std::filesystem::absolute(dir).string();
    if (korvsim::rc_load(opts.root + "/system/etc/init/korv.rc", "korv", &opts.service, &err) != 0) {
        fprintf(stderr, "korv-sim run: %s (run korv-sim init %s first)\n", err.c_str(), dir.c_str());
        return 1;
    }
    if (!user.empty() && run_as(user, &opts) != 0) return 1;
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

int cmd_logcat(int argc, char **argv) {
    if (argc != 1 && !(argc == 3 && strcmp(argv[1], "-b") == 0)) {
        fprintf(stderr, "usage: korv-sim logcat DIR [-b radio]\n");
        return 2;
    }
    std::string err;
    if (korvsim::logcat_print(argv[0], argc == 3 ? argv[2] : "radio", stdout, &err) != 0) {
        fprintf(stderr, "korv-sim logcat: %s\n", err.c_str());
        return 1;
    }
    return 0;
}

/* One option of korv-sim chaos; false for a bad value. */
bool chaos_option(const char *name, const char *value, korvsim::chaos_options *opts, std::string *err) {
    char *end = nullptr;
    if (strcmp(name, "--without") == 0) return korvsim::chaos_parse_without(value, &opts->without, err) == 0;
    if (strcmp(name, "--seed") == 0) opts->seed = strtoull(value, &end, 0);
    else if (strcmp(name, "--minutes") == 0) opts->minutes = strtod(value, &end);
    else if (strcmp(name, "--plan") == 0) opts->plan_only = (unsigned)strtoul(value, &end, 10);
    return end != nullptr && end != value && *end == '\0';
}

int cmd_chaos(int argc, char **argv) {
    korvsim::chaos_options opts;
    std::string err;
    bool ok = argc >= 1 && argc % 2 == 1;
    for (int i = 1; ok && i + 1 < argc; i += 2) ok = chaos_option(argv[i], argv[i + 1], &opts, &err);
    if (!ok || opts.minutes <= 0) {
        if (!err.empty()) fprintf(stderr, "korv-sim chaos: %s\n", err.c_str());
        fprintf(stderr, "usage: korv-sim chaos DIR [--seed N] [--minutes M] [--without KINDS] [--plan STEPS]\n");
        return 2;
    }
    opts.dir = argv[0];
    return korvsim::chaos_main(opts);
}

int usage() {
    fprintf(stderr, "usage:\n");
    fprintf(stderr, "  korv-sim init DIR [--data-image MIB]\n");
    fprintf(stderr, "  korv-sim powercut DIR OUT\n");
    fprintf(stderr, "  korv-sim inspect OUT MNT\n");
    fprintf(stderr, "  korv-sim umount DIR\n");
    fprintf(stderr, "  korv-sim run [--user NAME] DIR\n");
    fprintf(stderr, "  korv-sim demo [--keep DIR]\n");
    fprintf(stderr, "  korv-sim logcat DIR [-b radio]\n");
    fprintf(stderr, "  korv-sim chaos DIR [--seed N] [--minutes M] [--without KINDS] [--plan STEPS]\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc >= 2 && strcmp(argv[1], "demo") == 0) return cmd_demo(argc - 2, argv + 2);
    if (argc >= 2 && strcmp(argv[1], "logcat") == 0) return cmd_logcat(argc - 2, argv + 2);
    if (argc >= 2 && strcmp(argv[1], "chaos") == 0) return cmd_chaos(argc - 2, argv + 2);
    std::string err;
    if (argc == 3 && strcmp(argv[1], "init") == 0) return cmd_init(argv[2], 0);
    if (argc == 5 && strcmp(argv[1], "init") == 0 && strcmp(argv[3], "--data-image") == 0)
        return cmd_init_image(argv[2], argv[4]);
    if (argc == 4 && strcmp(argv[1], "powercut") == 0)
        return image_result("powercut", korv_sim_powercut(argv[2], argv[3], &err), err);
    if (argc == 4 && strcmp(argv[1], "inspect") == 0) return cmd_inspect(argv[2], argv[3]);
    if (argc == 3 && strcmp(argv[1], "umount") == 0) return image_result("umount", korv_sim_umount(argv[2], &err), err);
    if (argc == 3 && strcmp(argv[1], "run") == 0) return cmd_run(argv[2], "");
    if (argc == 5 && strcmp(argv[1], "run") == 0 && strcmp(argv[2], "--user") == 0) return cmd_run(argv[4], argv[3]);
    return usage();
}
