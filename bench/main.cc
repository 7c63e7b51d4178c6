/* korv-bench: runs every figure with korv logging to a file and to
 * /dev/null, then prints one table.  Exit status 1 when a figure could not be
 * measured; a missed target is a result, not a failure.
 *
 *   korv-bench [--smoke] [--only TEXT] [--keep] [--korv-env NAME=VALUE]...
 */
#include <signal.h>
#include <stdio.h>
#include <string.h>

#include <exception>
#include <functional>

#include "bench.h"

using namespace kb;

struct figure {
    const char *name;
    std::function<void(log_mode)> run;
};

static void usage(const char *argv0)
{
    printf("usage: %s [--smoke] [--only TEXT] [--keep] [--korv-env NAME=VALUE]...\n"
           "  --smoke      tiny sizes: checks that every figure can be measured\n"
           "  --only TEXT  runs the figures whose name contains TEXT\n"
           "               (nv, ma, load, dispatch, startup, exception, sizes)\n"
           "  --keep       keeps the simulated roots\n"
           "  --korv-env NAME=VALUE\n"
           "               adds to korv's environment (experiments with a variant\n"
           "               library through LD_PRELOAD, for instance)\n",
           argv0);
}

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--smoke") == 0) {
            g_opt.smoke = true;
        } else if (strcmp(argv[i], "--keep") == 0) {
            g_opt.keep = true;
        } else if (strcmp(argv[i], "--korv-env") == 0 && i + 1 < argc && strchr(argv[i + 1], '=')) {
            g_opt.korv_env.push_back(argv[++i]);
        } else if (strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
            g_opt.only = argv[++i];
        } else {
            usage(argv[0]);
            return 2;
        }
    }
    /* a korv connection that dies under a send must not end the runner */
    signal(SIGPIPE, SIG_IGN);
    raise_to_fifo();

    const figure figures[] = {
        {"nv", [](log_mode m) { figure_nv(m, false); }},
        {"ma", [](log_mode m) { figure_nv(m, true); }},
        {"durable", figure_durable},
        {"sync-latency", figure_durable_latency},
        {"load", figure_load},
        {"dispatch", figure_dispatch},
        {"startup", figure_startup},
        {"exception", figure_exception},
    };
    for (const figure &f : figures) {
        if (!g_opt.only.empty() && strstr(f.name, g_opt.only.c_str()) == nullptr)
            continue;
        for (log_mode m : {LOG_FILE, LOG_NULL}) {
            fprintf(stderr, "korv-bench: %s, log to %s\n", f.name, m == LOG_FILE ? "a file" : "/dev/null");
            /* a simulated root that cannot be made throws */
            try {
                f.run(m);
            } catch (const std::exception &e) {
                add_failure(f.name, m, e.what());
            }
        }
    }
    if (g_opt.only.empty() || strstr("sizes", g_opt.only.c_str()) != nullptr)
        figure_sizes();
    print_table();
    return failures() ? 1 : 0;
}
