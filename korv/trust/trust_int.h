/* Internals of the path confinement check, shared with its tests and its
 * fuzz target: the textual check and the two resolvers, so that both can be
 * held to the same answers on any machine. */
#ifndef TRUST_INT_H
#define TRUST_INT_H

#include <netinet/in.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* How a path is resolved beneath the tree: openat2 with RESOLVE_BENEATH, or
 * the component walk that stands in for it where the kernel lacks openat2. */
typedef enum kro_trust_resolver { KRO_TRUST_OPENAT2, KRO_TRUST_WALK } kro_trust_resolver;

/* Textual check of the device path `path` against the tree `tree` (a device
 * path without a trailing slash).  Returns the part below the tree (inside
 * `path`), or NULL with *reason set when the path does not lie beneath the
 * tree or has a ".." component. */
const char *kro_trust_below(const char *tree, const char *path, const char **reason);

/* Opens `rel` (relative, no ".." component) beneath the directory tree_fd,
 * never leaving it: symbolic links are followed while they stay inside,
 * absolute links and links out of the tree are refused, and only a regular
 * file is handed back.  Returns the descriptor, or -1 with errno; *reason is
 * set for a refusal (errno EXDEV) and left NULL for a plain failure (a
 * missing file, no permission). */
int kro_trust_open_beneath(int tree_fd, const char *rel, int flags, kro_trust_resolver how, const char **reason);

/* Owner of the peer's end of the loopback connection self -> peer, read
 * from the kernel's socket tables in `tcp` and `tcp6` (the /proc/net files,
 * or test copies): the connection's own entry, or while that has no owner yet
 * (inode 0: still in the accept queue), the listener that takes it.  The
 * fall-back where socket diagnostics are missing (kernels without inet_diag,
 * user-mode emulators).  0 with *uid set, or -1 with errno (ENOENT: no
 * entry). */
int kro_trust_procnet_uid(const char *tcp, const char *tcp6, const struct sockaddr_in *self,
                          const struct sockaddr_in *peer, uint32_t *uid);

#ifdef __cplusplus
}
#endif
#endif
