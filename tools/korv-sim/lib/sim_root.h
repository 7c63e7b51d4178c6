/* Building a simulated phone root (the KORV_ROOT layout) on this machine. */
#ifndef SIM_ROOT_H
#define SIM_ROOT_H

#include <stdint.h>
#include <sys/types.h>

#include <string>

/* Creates (or completes) a simulated root in dir: configuration file, tools,
 * libraries, NVRAM images, waveform directories, modem memory and driver
 * settings, exception FIFO, sysfs files, property store.  Returns 0 or -1
 * with a message in *err. */
int korv_sim_init(const std::string &dir, std::string *err);

/* The uid and primary gid of the user `name`; 0, or -1 with a message. */
int korv_sim_user(const std::string &name, uid_t *uid, gid_t *gid, std::string *err);

/* Hands the whole root (links themselves, not their targets) to uid:gid, so
 * that korv run as that user can use every file of it as the phone's own
 * packaging would let it; 0, or -1 with a message. */
int korv_sim_own(const std::string &dir, uid_t uid, gid_t gid, std::string *err);

/* Writes one exception record of `type` (2: a modem dump) on the exception
 * channel dev/socbridge of the root in dir, as the modem driver reports one;
 * 0, or -1 with a message (nothing reads the channel: no korv-sim run). */
int korv_sim_exception(const std::string &dir, uint32_t type, std::string *err);

/* Where the built tools are (korv, fwmd, bw-dump, libraries). */
std::string korv_sim_bin_dir();
std::string korv_sim_lib_dir();

#endif
