// korv-sim chaos: korv on a simulated phone whose /data is an ext4 image,
// under the simulated init, driven by a framework stand-in that plays a
// seeded random mix of everything korv serves while faults hit it at random
// moments (docs/reliability.md); every invariant is checked during and after
// every fault, and a summary ends the run.
#ifndef KORVSIM_CHAOS_H
#define KORVSIM_CHAOS_H

#include <stdint.h>
#include <stdio.h>

#include <string>

namespace korvsim {

struct chaos_options {
    std::string dir;       /* the phone root: new or empty; kept afterwards */
    uint64_t seed = 1;
    double minutes = 2;    /* steps start until this much time has passed */
    unsigned plan_only = 0; /* > 0: print the first N steps of the plan, run nothing */
    /* Kinds of step drawn but not played (bit k: chaos_kind k): the plan,
     * and so the seed's meaning, stays the same. */
    uint32_t without = 0;
    FILE *out = stdout;
};

/* 0: every invariant held; 1: at least one failed (each printed with the
 * seed, the moment and the evidence); 2: the run could not be set up. */
int chaos_main(const chaos_options &opt);
/* Parses "--without" text: kind keys separated by commas ("plant-fifo,
 * ctl-trickle"); 0, or -1 with the unknown key in *err. */
int chaos_parse_without(const std::string &text, uint32_t *out, std::string *err);

}  // namespace korvsim

#endif
