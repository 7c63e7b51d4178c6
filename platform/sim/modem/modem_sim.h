/* The simulated modem driver behind /dev/modem on a simulated root: the
 * memory file dev/modem, the settings dev/modem.conf, the journal
 * dev/modem.log and the DMI channel table.  The adapter's kor_ioctl hands it
 * every request made on a descriptor of the root's dev/modem. */
#ifndef MODEM_SIM_H
#define MODEM_SIM_H

#ifdef __cplusplus
extern "C" {
#endif

/* 1 when fd is open on <root>/dev/modem (same device and inode). */
int modem_sim_is_modem_fd(const char *root, int fd);
/* Answers one request as the driver would: 0, or -1 with errno set.  Every
 * request, answered or failed, appends one line to <root>/dev/modem.log. */
int modem_sim_ioctl(const char *root, int fd, unsigned long request, void *arg);

#ifdef __cplusplus
}
#endif
#endif
