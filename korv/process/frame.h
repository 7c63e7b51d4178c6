/* Process frame: options, version, the waveform configuration NV check, the
 * exit-signal handler and the priority raise.  main() lives in main.cc so the
 * rest can be linked into tests. */
#ifndef FRAME_H
#define FRAME_H

#include <signal.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The daemon's version text. */
#define KORV_VERSION "bw_hqs_v2.10.01_20150301"
#define KORV_CFG_FILE_SIZE 81 /* 80 characters and a terminator */
/* The waveform configuration NV file and its backup. */
#define KORV_WFCONFIG_DIR "/data/brimwell/wf_manager/waveform/LTEP2P"
#define KORV_WFCONFIG_NV KORV_WFCONFIG_DIR "/nvram_wfconfig.bin"
#define KORV_WFCONFIG_NV_BAK KORV_WFCONFIG_NV ".bak"

/* Parses the options into *init_mode and cfg_file (KORV_CFG_FILE_SIZE bytes,
 * zero-filled by the caller).  Returns 0, or 1 when the usage text was printed
 * and the process is to exit with status 0. */
int kro_parse_options(int argc, char **argv, int *init_mode, char *cfg_file);
/* Copies the version text (no terminator) into buf after the NV check;
 * 0, or -1. */
int get_version(char *buf, uint8_t capacity);
/* Restores the waveform configuration NV file from its backup when it is
 * missing, and backs it up when the backup is missing; 0 when either was
 * done, -1 when neither was needed. */
int check_cp_nvram_backup(void);
/* Installs the one handler of the terminating signals, which tears down
 * and exits with status 0. */
void kro_install_exit_signals(void);
/* Switches the process to SCHED_FIFO. */
void pub_util_raise_process_priority(void);

#ifdef __cplusplus
}
#endif
#endif
