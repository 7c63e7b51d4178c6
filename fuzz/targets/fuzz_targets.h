/* The fuzz targets: one entry per parser of outside input, driven by the
 * libFuzzer driver (fuzz/driver.cc) and, in the normal build, by the replay
 * test of the seed corpora and regression inputs (tests/fuzz-regress).
 *
 * A target keeps process-wide daemon state (the configuration record, the
 * NVRAM store, the UTRAN image store), so one process runs one target: init
 * once, then any number of inputs. */
#ifndef KORV_FUZZ_TARGETS_H
#define KORV_FUZZ_TARGETS_H

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <string>

struct korv_fuzz_target {
    const char *name;
    /* Once per process, before the first input, after the simulated root
     * and the daemon's log are set up (korv_fuzz_start); NULL: no more. */
    void (*init)(void);
    /* One input.  Returns 0, or -1 for an input the target refuses to run
     * (libFuzzer then keeps it out of the corpus).  A broken invariant
     * aborts, so the input is reported like a crash. */
    int (*one)(const uint8_t *data, size_t size);
};

extern const korv_fuzz_target korv_fuzz_cfg;
extern const korv_fuzz_target korv_fuzz_record;
extern const korv_fuzz_target korv_fuzz_work;
extern const korv_fuzz_target korv_fuzz_nv;
extern const korv_fuzz_target korv_fuzz_utran;
extern const korv_fuzz_target korv_fuzz_socbridge;
extern const korv_fuzz_target korv_fuzz_ini;
extern const korv_fuzz_target korv_fuzz_trust_path;
extern const korv_fuzz_target korv_fuzz_ctl;
extern const korv_fuzz_target korv_fuzz_pcapng;
extern const korv_fuzz_target korv_fuzz_logcat;
extern const korv_fuzz_target korv_fuzz_logfmt;

/* Sets up the process for a target: the simulated root, the daemon's log
 * (to /dev/null unless KORV_LOG_FILE says otherwise), then its init. */
void korv_fuzz_start(const korv_fuzz_target *target);
/* NULL when no target has that name. */
const korv_fuzz_target *korv_fuzz_find(const std::string &name);
/* Every target's name, blank-separated (for usage lines). */
std::string korv_fuzz_names(void);

/* The simulated root of this process: built in a fresh temporary directory
 * on the first call, which also sets KORV_ROOT to it, makes it the working
 * directory (so relative device paths stay inside it too) and, unless
 * KORV_LOG_FILE is already set, sends the daemon's log to /dev/null.  Call it
 * before any daemon code runs: the seam reads KORV_ROOT once. */
const std::string &korv_fuzz_root(void);
/* Removes the root again (the replay test calls it before it exits; the
 * libFuzzer driver leaves it to an atexit handler). */
void korv_fuzz_root_remove(void);
/* Host path of a device path below the root. */
std::string korv_fuzz_path(const std::string &device_path);
/* A host file's content ("" when it can't be read). */
std::string korv_fuzz_read(const std::string &host_path);
/* Empties the driver journal (dev/modem.log), which every driver request
 * lengthens by a line; inputs never read it. */
void korv_fuzz_trim_journal(void);

/* Splits an input into framework records.  Each is a little-endian u16 n,
 * then min(n & 0x7FFF, 1024) bytes (fewer at the end of the input).  Unless
 * bit 15 of n is set, a record long enough for a header gets its len and
 * body_len fields set to fit, so that most inputs get past the header check;
 * with bit 15 the header goes as it is.  Each record is handed over in a
 * heap block of its exact size, so a read past it is caught. */
void korv_fuzz_records(const uint8_t *data, size_t size,
                       const std::function<void(const uint8_t *rec, size_t len)> &fn);

/* A connected pair of local stream sockets, both ends non-blocking: replies
 * that the daemon sends on [0] are read and dropped from [1]. */
void korv_fuzz_socketpair(int sv[2]);
/* Reads everything that is waiting on a non-blocking descriptor. */
void korv_fuzz_drain(int fd);

/* True when the input holds the text. */
bool korv_fuzz_contains(const uint8_t *data, size_t size, const char *text);

/* Empties the UTRAN image store, the bytes past a header included (a later,
 * shorter header would otherwise be walked with them).  Only while the
 * service is stopped: a load while it runs is walked. */
void korv_fuzz_utran_clear(void);

/* Pauses of the code under test (nanosleep) are skipped while this is set on
 * the calling thread: the UTRAN stop waits two seconds between announcing
 * and deleting, which is time, not parsing.  Other threads keep real time. */
void korv_fuzz_skip_pauses(bool skip);

/* Reports a broken invariant with the target's message and aborts. */
[[noreturn]] void korv_fuzz_fail(const char *target, const char *what);
#define KORV_FUZZ_CHECK(target, cond)                                                  \
    do {                                                                               \
        if (!(cond)) korv_fuzz_fail(target, #cond);                                    \
    } while (0)

#endif
