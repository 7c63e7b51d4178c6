/* The phone's /data on an ext4 image for power-cut tests: DIR/data.img,
 * loop-mounted on DIR/data; a copy of the image as a power cut leaves it; a
 * check and read-only mount of such a copy.  Root only (mkfs, loop mounts). */
#ifndef DATA_IMAGE_H
#define DATA_IMAGE_H

#include <string>

/* Makes DIR/data.img (mib MiB, ext4) and mounts it on DIR/data; a root whose
 * data is mounted already is kept.  0, or -1 with a message in *err. */
int korv_sim_data_image(const std::string &dir, unsigned mib, std::string *err);
/* Writes what korv_sim_init put on the image to it (syncfs), so that a cut
 * afterwards finds the phone's files as init left them. */
int korv_sim_data_settle(const std::string &dir, std::string *err);
/* Copies DIR/data.img to out as a power cut now would leave it: the blocks
 * the loop device has been given, nothing that still waits in the mounted
 * file system's cache.  Nothing is synced or unmounted first. */
int korv_sim_powercut(const std::string &dir, const std::string &out, std::string *err);
/* e2fsck on the copy (replays its journal), then mounts it read-only on mnt
 * (created when missing).  *report gets e2fsck's output. */
int korv_sim_inspect(const std::string &image, const std::string &mnt, std::string *report,
                     std::string *err);
/* Unmounts DIR/data when it is a mount point, else DIR itself (a copy
 * mounted by korv_sim_inspect); the loop device goes with it. */
int korv_sim_umount(const std::string &dir, std::string *err);

#endif
