/* Trust: who may talk to korv, and where the framework may send it.  The
 * uids allowed at the other end of a framework link and on the control
 * socket come from one place; every path that comes off a framework link is
 * opened through one confinement check. */
#ifndef TRUST_H
#define TRUST_H

#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Property naming the allowed uids: a comma-separated list of decimal uids,
 * which when set is the whole list. */
#define KRO_TRUST_UIDS_PROP "ro.korv.fw_uids"

/* 1 when `uid` is allowed: listed in ro.korv.fw_uids, or, while that is
 * unset or empty, one of 0, 1000, 1001 and korv's own uid.  The property is
 * read at each call, so a change takes effect at the next check. */
int kro_trust_uid_allowed(int64_t uid);

/* The uid that owns the other end of the connected loopback TCP socket
 * `sock`, from the kernel's socket diagnostics: the process that accepted
 * the connection, or, while it still waits in the accept queue, the owner of
 * the listening socket.  -1 with errno when it cannot be found. */
int64_t kro_trust_peer_uid(int sock);

/* 0 when the peer of the framework link on `port` is allowed.  Otherwise -1
 * after the refusal line (and, when the uid could not be found, the errno
 * line); the caller closes the socket without reading from it.  Either way
 * *uid gets the peer's uid, -1 when it could not be found. */
int kro_trust_peer_check(int sock, int port, int64_t *uid);

/* Property naming the one tree that framework-named paths may resolve into
 * (a device path); read once, at the first check. */
#define KRO_TRUST_NV_ROOT_PROP "ro.korv.nv_root"
#define KRO_TRUST_NV_ROOT_DEFAULT "/data/brimwell"

/* The one entry point for a path that a framework message names.  Opens the
 * device path `path` (flags as open(2): O_RDONLY or O_RDWR, never O_CREAT)
 * when it lies beneath the NV tree, has no ".." component, resolves without
 * leaving the tree through a symbolic link and names a regular file; with
 * KORV_ROOT set, resolution happens beneath the tree's mapped directory.
 * Returns the descriptor (close-on-exec).  A refused path logs "refused
 * path" with the reason and fails with errno EXDEV; any other failure (a
 * missing file: ENOENT) keeps the open's errno and logs nothing. */
int kro_trust_open(const char *path, int flags);

/* kro_trust_open as a stdio stream; mode "r" or "r+" (EINVAL otherwise). */
FILE *kro_trust_fopen(const char *path, const char *mode);

#ifdef __cplusplus
}
#endif
#endif
