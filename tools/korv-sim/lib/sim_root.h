/* Building a simulated phone root (the KORV_ROOT layout) on this machine. */
#ifndef SIM_ROOT_H
#define SIM_ROOT_H

#include <string>

/* Creates (or completes) a simulated root in dir: configuration file, tools,
 * libraries, NVRAM images, waveform directories, modem memory and driver
 * settings, exception FIFO, sysfs files, property store.  Returns 0 or -1
 * with a message in *err. */
int korv_sim_init(const std::string &dir, std::string *err);

/* Where the built tools are (korv, fwmd, bw-dump, libraries). */
std::string korv_sim_bin_dir();
std::string korv_sim_lib_dir();

#endif
