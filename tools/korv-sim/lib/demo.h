// The demonstration: a fresh simulated phone, korv under the simulated init,
// fwmd playing the demonstration scenario, then the checks a scenario cannot
// make (the dump file, korv's self-restart, nothing left running) and one
// result table.
#ifndef KORVSIM_DEMO_H
#define KORVSIM_DEMO_H

#include <stdio.h>

#include <string>

namespace korvsim {

struct demo_options {
    /* Non-empty: build the root in this folder (new or empty) and keep it;
     * empty: a temporary folder, removed at the end. */
    std::string keep_dir;
    FILE *out = stdout;    /* transcript, manager reports and the table */
    int budget_ms = 60000; /* the whole run, stop included */
    /* Run as root, korv runs as this unprivileged user, as on the phone it
     * runs as radio; run by anyone else, korv runs as that user. */
    std::string user = "nobody";
};

/* The shipped scenario: installed beside the program (bin/demo.scn or
 * share/korv/scenarios/demo.scn next to bin/), else the source tree's. */
std::string demo_scenario_path();

/* Runs the demonstration.  0 when every row passed within the budget, 1 when
 * a row failed (or the budget ran out, or an interrupt came), 2 when the
 * demonstration could not be set up. */
int run_demo(const demo_options &opt);

}  // namespace korvsim

#endif
