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

#define KORV_VERSION "bw_hqs_v2.10.01_20150301"
#define KORV_CFG_FILE_SIZE 81 /* 80 characters and a terminator */
#define KORV_WFCONFIG_NV "/data/brimwell/wf_manager/waveform/LTEP2P/nvram_wfconfig.bin"
#define KORV_WFCONFIG_NV_BAK KORV_WFCONFIG_NV ".bak"

/* Parses the options into *init_mode and cfg_file (KORV_CFG_FILE_SIZE bytes,
 * zero-filled by the caller).  Returns 0, or 1 when the usage text was printed
 * and the process is to exit with status 0. */
int kro_parse_options(int argc, char **argv, int *init_mode, char *cfg_file);
int get_version(char *buf, uint8_t capacity);
int check_cp_nvram_backup(void);
void on_exit_signal(int signo, siginfo_t *info, void *context);
void kro_install_exit_signals(void);
void pub_util_raise_process_priority(void);

#ifdef __cplusplus
}
#endif
#endif
