/* Scenario player: plays a plain-text scenario against korv through an fwmd
 * server and the simulated root korv runs on (messages both ways, properties,
 * the driver journal, the exception FIFO, the notification pty, files).
 * docs/fwmd.md describes the format.  Labelled checks become the rows of a
 * result table. */
#ifndef FWMD_SCENARIO_H
#define FWMD_SCENARIO_H

#include <stdio.h>

#include <string>
#include <utility>
#include <vector>

#include "fwmd.h"

enum fwmd_step_kind {
    FWMD_STEP_TIMEOUT,
    FWMD_STEP_CONNECT,
    FWMD_STEP_RECONNECT,
    FWMD_STEP_CLOSE,
    FWMD_STEP_SEND,
    FWMD_STEP_SEND_RAW,
    FWMD_STEP_EXPECT,
    FWMD_STEP_PROP,
    FWMD_STEP_JOURNAL,
    FWMD_STEP_SOCBRIDGE,
    FWMD_STEP_NOTIFY_OPEN,
    FWMD_STEP_NOTIFY,
    FWMD_STEP_FILE,
    FWMD_STEP_SLEEP,
    FWMD_STEP_NOTE,
};

/* One scenario line, checked and converted when the scenario is parsed. */
struct fwmd_step {
    int line = 0;
    std::string text;         /* the line as written, for the transcript */
    fwmd_step_kind kind = FWMD_STEP_NOTE;
    std::string label;        /* from a "label" line before a check */
    int channel = -1;
    fwmd_msg msg;             /* send; expect uses msg.msg_cmd */
    std::vector<std::pair<std::string, std::string>> checks; /* expect */
    std::vector<uint8_t> bytes;  /* send-raw, socbridge, file */
    std::string name;         /* property, journal text, file path, note */
    std::string value;        /* property value */
    uint64_t number = 0;      /* ms (timeout, sleep), notify type, file offset, journal count */
    int within_ms = -1;       /* -1: the scenario's current time-out */
};

struct fwmd_scenario {
    std::vector<fwmd_step> steps;
};

/* Parses a whole scenario; on the first error returns -1 with
 * "line N: what" in *err. */
int fwmd_scenario_parse(const std::string &text, fwmd_scenario *out, std::string *err);
int fwmd_scenario_load(const std::string &path, fwmd_scenario *out, std::string *err);

struct fwmd_row {
    std::string label;
    std::string evidence;
    bool pass = false;
};

struct fwmd_play_options {
    std::string root;           /* the simulated root korv runs on */
    FILE *transcript = nullptr; /* steps, results and messages both ways */
    int timeout_ms = 5000;      /* until a "timeout" line changes it */
    /* A write end of ROOT/dev/socbridge that the caller keeps open across
     * plays, or -1: the player opens one as the play starts (korv's
     * exception channel opens only once a writer exists) and closes it when
     * the play ends (korv then reads end of file). */
    int socbridge_fd = -1;
};

/* Plays the steps in order and stops at the first that fails.  Every labelled
 * check gives one row, the ones not reached included; an unlabelled step that
 * fails gives a row named after its line.  0 when every step passed, else -1. */
int fwmd_scenario_play(fwmd_server *s, const fwmd_scenario &sc, const fwmd_play_options &opt,
                       std::vector<fwmd_row> *rows);
/* The rows as a table: result, label, evidence. */
void fwmd_print_rows(FILE *out, const std::vector<fwmd_row> &rows);

#endif
