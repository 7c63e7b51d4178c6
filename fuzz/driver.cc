/* The libFuzzer entry points of one fuzz executable; KORV_FUZZ_TARGET (set
 * by fuzz/CMakeLists.txt) names the target it drives. */
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fuzz/targets/fuzz_targets.h"

static const korv_fuzz_target *s_target;
/* The argument vector handed back to libFuzzer; it lives for the process. */
static std::vector<char *> *s_args;

/* Flags of libFuzzer whose value is a path; the artifact prefix first. */
static const char *const s_path_flags[] = {"-artifact_prefix=", "-exact_artifact_path=", "-dict=",
                                           "-features_dir=", "-merge_control_file="};

/* A target makes its simulated root the working directory, and libFuzzer
 * reads its inputs and writes its findings after that: relative paths on
 * the command line (inputs, corpus directories, path flags) are made
 * absolute first. */
static void absolute_args(int *argc, char ***argv)
{
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == NULL) return;
    bool prefixed = false;
    s_args = new std::vector<char *>;
    for (int i = 0; i < *argc; i++) {
        std::string arg = (*argv)[i];
        size_t value = 0;
        for (const char *flag : s_path_flags)
            if (arg.compare(0, strlen(flag), flag) == 0) value = strlen(flag);
        bool path = i > 0 && (value > 0 || arg[0] != '-');
        if (path && value < arg.size() && arg[value] != '/')
            arg.insert(value, std::string(cwd) + "/");
        s_args->push_back(strdup(arg.c_str()));
        prefixed = prefixed || arg.compare(0, strlen(s_path_flags[0]), s_path_flags[0]) == 0;
    }
    /* Findings land where libFuzzer puts them by default: the directory it
     * was started in. */
    if (!prefixed)
        s_args->push_back(strdup((std::string(s_path_flags[0]) + cwd + "/").c_str()));
    *argc = (int)s_args->size();
    s_args->push_back(NULL);
    *argv = s_args->data();
}

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    s_target = korv_fuzz_find(KORV_FUZZ_TARGET);
    if (s_target == NULL) {
        fprintf(stderr, "no fuzz target %s (have: %s)\n", KORV_FUZZ_TARGET, korv_fuzz_names().c_str());
        abort();
    }
    absolute_args(argc, argv);
    korv_fuzz_start(s_target);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return s_target->one(data, size);
}
