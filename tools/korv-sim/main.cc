// korv-sim: the simulated phone on this machine.  Its commands are listed
// by usage() below (korv-sim --help); docs/simulated-phone.md is the manual.
// KORV_SIM_DAEMON names another program to run in korv's place (tests).
#include <signal.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "chaos.h"
#include "cutils/properties.h"
#include "data_image.h"
#include "kor_os.h"
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

int cmd_powercut(const std::string &dir, const std::string &out) {
    std::string err;
    int rc = korv_sim_powercut(dir, out, &err);
    if (rc == 0)
        printf("korv-sim: %s/data.img copied to %s as a power cut now leaves it (nothing synced or "
               "unmounted first); korv-sim inspect %s MNT checks and mounts it\n",
               dir.c_str(), out.c_str(), out.c_str());
    return image_result("powercut", rc, err);
}

int cmd_inspect(const std::string &image, const std::string &mnt) {
    std::string report, err;
    int rc = korv_sim_inspect(image, mnt, &report, &err);
    fputs(report.c_str(), stdout);
    if (rc != 0) return image_result("inspect", rc, err);
    printf("korv-sim: e2fsck replayed the journal of %s and checked it; it is mounted read-only on %s\n"
           "korv-sim: after a cut, e2fsck's \"Free blocks count wrong ... Fix? yes\" and \"Free inodes "
           "count wrong ... Fix? yes\" are the journal's usual bookkeeping (ext4 keeps those totals "
           "lazily), not damage; a repair e2fsck could not make would have failed this command\n",
           image.c_str(), mnt.c_str());
    return 0;
}

/* korv as `user`: the root becomes that user's, as the phone's packaging
 * gives korv its files.  A user who cannot reach korv is refused before the
 * root is touched. */
int run_as(const std::string &user, korvsim::supervisor_options *opts) {
    std::string err;
    if (korv_sim_user(user, &opts->uid, &opts->gid, &err) != 0) {
        fprintf(stderr, "korv-sim run: %s\n", err.c_str());
        return -1;
    }
    if (korvsim::user_can_run(*opts, &err) != 0) {
        fprintf(stderr,
                "korv-sim run: korv cannot run as %s: %s; let %s in (chmod o+x on that folder), keep the "
                "build and the root below folders it can enter, or leave out --user (korv runs as you)\n",
                user.c_str(), err.c_str(), user.c_str());
        return -1;
    }
    if (korv_sim_own(opts->root, opts->uid, opts->gid, &err) != 0) {
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
    if (const char *d = getenv("KORV_SIM_DAEMON"); d && *d) opts.program = d;
    if (!user.empty() && run_as(user, &opts) != 0) return 1;

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
        /* korv-sim loads the adapter korv does: its sink is korv's. */
        if (strcmp(tp_os_log_sink(), "liblog") != 0)
            fprintf(stderr,
                    "korv-sim logcat: this build's korv logs to a file, not to logcat: its lines are in "
                    "%s/korv.log under korv-sim run (or in the file KORV_LOG_FILE names); "
                    "docs/simulated-phone.md tells how to build with the liblog sink\n",
                    std::filesystem::absolute(argv[0]).string().c_str());
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

/* The property store works below KORV_ROOT, read once per process. */
void use_root(const char *dir) { setenv("KORV_ROOT", std::filesystem::absolute(dir).c_str(), 1); }

int cmd_setprop(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: korv-sim setprop DIR NAME VALUE\n");
        return 2;
    }
    use_root(argv[0]);
    if (property_set(argv[1], argv[2]) != 0) {
        fprintf(stderr, "korv-sim setprop: cannot set %s in %s/dev/__properties__: %s\n", argv[1], argv[0],
                errno ? strerror(errno) : "bad name or value longer than 91 bytes");
        return 1;
    }
    return 0;
}

/* Android's getprop: one name prints its value (an empty line when unset);
 * none prints every property, sorted, as "[name]: [value]". */
int cmd_getprop(int argc, char **argv) {
    if (argc != 1 && argc != 2) {
        fprintf(stderr, "usage: korv-sim getprop DIR [NAME]\n");
        return 2;
    }
    use_root(argv[0]);
    char value[PROPERTY_VALUE_MAX];
    if (argc == 2) {
        property_get(argv[1], value, "");
        printf("%s\n", value);
        return 0;
    }
    std::error_code ec;
    std::vector<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(std::string(argv[0]) + "/dev/__properties__", ec))
        if (e.is_regular_file() && e.path().filename().string()[0] != '.') names.push_back(e.path().filename());
    if (ec) {
        fprintf(stderr, "korv-sim getprop: no property store in %s: %s\n", argv[0], ec.message().c_str());
        return 1;
    }
    std::sort(names.begin(), names.end());
    for (const auto &n : names) {
        property_get(n.c_str(), value, "");
        printf("[%s]: [%s]\n", n.c_str(), value);
    }
    return 0;
}

int cmd_exception(int argc, char **argv) {
    unsigned long type = 2;
    char *end = nullptr;
    if (argc == 2) type = strtoul(argv[1], &end, 0);
    if (argc < 1 || argc > 2 || (argc == 2 && (*end != '\0' || type > 0xFFFFFFFFul))) {
        fprintf(stderr, "usage: korv-sim exception DIR [TYPE]\n");
        return 2;
    }
    std::string err;
    if (korv_sim_exception(argv[0], static_cast<uint32_t>(type), &err) != 0) {
        fprintf(stderr, "korv-sim exception: %s\n", err.c_str());
        return 1;
    }
    printf("korv-sim: exception record of type %lu written to %s/dev/socbridge%s\n", type, argv[0],
           type == 2 ? " (a modem dump: korv handles the exception)" : " (korv skips any type but 2)");
    return 0;
}

int usage(FILE *out, int rc) {
    fputs("usage: korv-sim COMMAND ...\n"
          "  init DIR [--data-image MIB]\n"
          "        builds (or completes) a phone root in DIR; with --data-image (root only) its data/\n"
          "        is an ext4 image DIR/data.img of MIB MiB, loop-mounted on DIR/data\n"
          "  run [--user NAME] DIR\n"
          "        runs korv on DIR under the simulated init until SIGINT/SIGTERM (status 0), or\n"
          "        until a critical service crashes too often (status 1); with --user (as root),\n"
          "        korv runs as NAME and the root is handed to NAME first\n"
          "  demo [--keep DIR]\n"
          "        plays the demonstration on a fresh root (status 0 when every check passed)\n"
          "  setprop DIR NAME VALUE\n"
          "        sets a system property of the phone in DIR\n"
          "  getprop DIR [NAME]\n"
          "        prints a property's value, or every property as [name]: [value]\n"
          "  exception DIR [TYPE]\n"
          "        writes an exception record on the phone's exception channel (type 2, a modem\n"
          "        dump, by default); korv-sim run DIR must be running\n"
          "  logcat DIR [-b radio]\n"
          "        prints a log buffer of the root (korv built with the liblog sink)\n"
          "  powercut DIR OUT\n"
          "        copies DIR/data.img to OUT as a power cut now leaves it\n"
          "  inspect OUT MNT\n"
          "        e2fsck on the copy (replays its journal), then mounts it read-only on MNT\n"
          "  umount DIR\n"
          "        unmounts DIR/data (or DIR, a mounted copy)\n"
          "  chaos DIR [--seed N] [--minutes M] [--without KINDS] [--plan STEPS]\n"
          "        (root) korv on a new phone in DIR under seeded traffic and faults, every\n"
          "        invariant checked (docs/reliability.md); --plan prints the plan only\n"
          "  --help\n"
          "        this text\n",
          out);
    return rc;
}

}  // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "help") == 0))
        return usage(stdout, 0);
    if (argc >= 2 && strcmp(argv[1], "demo") == 0) return cmd_demo(argc - 2, argv + 2);
    if (argc >= 2 && strcmp(argv[1], "logcat") == 0) return cmd_logcat(argc - 2, argv + 2);
    if (argc >= 2 && strcmp(argv[1], "setprop") == 0) return cmd_setprop(argc - 2, argv + 2);
    if (argc >= 2 && strcmp(argv[1], "getprop") == 0) return cmd_getprop(argc - 2, argv + 2);
    if (argc >= 2 && strcmp(argv[1], "exception") == 0) return cmd_exception(argc - 2, argv + 2);
    if (argc >= 2 && strcmp(argv[1], "chaos") == 0) return cmd_chaos(argc - 2, argv + 2);
    std::string err;
    if (argc == 3 && strcmp(argv[1], "init") == 0) return cmd_init(argv[2], 0);
    if (argc == 5 && strcmp(argv[1], "init") == 0 && strcmp(argv[3], "--data-image") == 0)
        return cmd_init_image(argv[2], argv[4]);
    if (argc == 4 && strcmp(argv[1], "powercut") == 0) return cmd_powercut(argv[2], argv[3]);
    if (argc == 4 && strcmp(argv[1], "inspect") == 0) return cmd_inspect(argv[2], argv[3]);
    if (argc == 3 && strcmp(argv[1], "umount") == 0) return image_result("umount", korv_sim_umount(argv[2], &err), err);
    if (argc == 3 && strcmp(argv[1], "run") == 0) return cmd_run(argv[2], "");
    if (argc == 5 && strcmp(argv[1], "run") == 0 && strcmp(argv[2], "--user") == 0) return cmd_run(argv[4], argv[3]);
    return usage(stderr, 2);
}
