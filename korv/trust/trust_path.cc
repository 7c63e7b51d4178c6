/* The confinement check for paths that come off a framework link: the one
 * place where korv opens a file the framework named (NV files, ini files,
 * binaries, and the binary the driver is asked to load).  A path must lie
 * beneath the NV tree (ro.korv.nv_root), have no ".." component, resolve
 * without leaving the tree and name a regular file.  The file is opened by
 * the check itself, so what was checked is what gets used.
 *
 * Resolution: openat2 with RESOLVE_BENEATH below a descriptor of the tree;
 * where the kernel lacks openat2 (ENOSYS), a walk opens one component at a
 * time with O_NOFOLLOW and follows relative links itself.  Either way the
 * final open carries O_NONBLOCK and O_NOCTTY, so a FIFO or a terminal that
 * takes a regular file's place is refused without blocking or being adopted.
 *
 * State, set once and then only read: the tree's device path (read at the
 * first check under s_tree_once), the tree's descriptor (opened at the
 * first check that finds the tree, published with one compare-and-swap, kept
 * for the process's life: a waveform write costs no extra open), and
 * s_no_openat2 (atomic, set when the kernel said ENOSYS).  The checks run on
 * the looper (loads) and on the NVRAM writer thread (NV writes). */
#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <pthread.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "cutils/properties.h"
#include "kor_platform.h"
#include "korv_log.h"
#include "trust/trust.h"
#include "trust/trust_int.h"

#define WALK_DEPTH_MAX 64 /* directories below the tree */
#define WALK_LINKS_MAX 40 /* links followed in one path, as the kernel allows */
#define OPEN_FLAGS_EXTRA (O_CLOEXEC | O_NOCTTY | O_NONBLOCK)

/* The flags of an open: a probe (O_PATH) takes no others. */
static int open_flags(int flags) { return flags & O_PATH ? O_PATH | O_CLOEXEC : flags | OPEN_FLAGS_EXTRA; }

static const char *const REASON_OUTSIDE = "not beneath the NV tree";
static const char *const REASON_DOTDOT = "'..' component";
static const char *const REASON_ESCAPE = "leaves the NV tree";
static const char *const REASON_LOOP = "too many symbolic links";
static const char *const REASON_NOT_REGULAR = "not a regular file";

static pthread_once_t s_tree_once = PTHREAD_ONCE_INIT;
static char s_tree[PROPERTY_VALUE_MAX]; /* written once under s_tree_once */
static int s_tree_fd = -1;              /* compare-and-swap once, then read-only */
static int s_no_openat2;                /* atomic */

/* ---- textual check ---- */

/* 1 when the component of length len at p is "..". */
static int is_dotdot(const char *p, size_t len) { return len == 2 && p[0] == '.' && p[1] == '.'; }

const char *kro_trust_below(const char *tree, const char *path, const char **reason)
{
    size_t tree_len = strlen(tree);
    *reason = REASON_OUTSIDE;
    if (strncmp(path, tree, tree_len) != 0 || path[tree_len] != '/')
        return NULL;
    const char *rel = path + tree_len;
    for (const char *p = rel; *p != '\0';) {
        size_t len = strcspn(p, "/");
        if (is_dotdot(p, len)) {
            *reason = REASON_DOTDOT;
            return NULL;
        }
        p += len + (p[len] == '/');
    }
    while (*rel == '/')
        rel++;
    if (*rel == '\0') { /* the tree itself */
        *reason = REASON_NOT_REGULAR;
        return NULL;
    }
    *reason = NULL;
    return rel;
}

/* ---- openat2 ---- */

static int beneath_openat2(int tree_fd, const char *rel, int flags)
{
    struct open_how how;
    memset(&how, 0, sizeof how);
    how.flags = (uint64_t)open_flags(flags);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    return (int)syscall(SYS_openat2, tree_fd, rel, &how, sizeof how);
}

/* ---- component walk ---- */

/* Directories from the tree down to the current one; dirs[0] is the tree's
 * descriptor, which the walk does not own.  rest holds what is still to be
 * resolved, with link targets spliced in front of it. */
typedef struct walk_st {
    int dirs[WALK_DEPTH_MAX + 1];
    int depth;
    int links;
    char rest[KOR_PATH_MAX];
} walk_st;

static void walk_release(walk_st *w)
{
    while (w->depth > 0)
        close(w->dirs[w->depth--]);
}

/* Takes the next component off w->rest into name; 0 when none is left. */
static int walk_next(walk_st *w, char *name, size_t cap, int *last)
{
    char *p = w->rest;
    while (*p == '/')
        p++;
    size_t len = strcspn(p, "/");
    if (len == 0)
        return 0;
    if (len >= cap) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(name, p, len);
    name[len] = '\0';
    p += len;
    *last = *p == '\0'; /* a trailing slash asks for a directory */
    memmove(w->rest, p, strlen(p) + 1);
    return 1;
}

/* Puts the target of the link opened as link_fd in front of what is left
 * (which starts with its separator, if anything is left).  Absolute targets
 * leave the tree by definition. */
static int walk_splice(walk_st *w, int link_fd)
{
    char target[KOR_PATH_MAX];
    ssize_t n = readlinkat(link_fd, "", target, sizeof target - 1);
    if (n < 0)
        return -1;
    target[n] = '\0';
    if (++w->links > WALK_LINKS_MAX) {
        errno = ELOOP;
        return -1;
    }
    if (target[0] == '/') {
        errno = EXDEV;
        return -1;
    }
    size_t tlen = (size_t)n, rlen = strlen(w->rest);
    if (tlen + rlen + 1 > sizeof w->rest) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memmove(w->rest + tlen, w->rest, rlen + 1);
    memcpy(w->rest, target, tlen);
    return 0;
}

/* One step: "." stays, ".." (only ever from a link) goes up but never above
 * the tree, a link is spliced, a directory is entered, and the last
 * component is opened for real.  Returns 1 to go on, 0 with *fd set, -1. */
static int walk_step(walk_st *w, const char *name, int last, int flags, int *fd)
{
    if (strcmp(name, ".") == 0)
        return 1;
    if (strcmp(name, "..") == 0) {
        if (w->depth == 0) {
            errno = EXDEV;
            return -1;
        }
        close(w->dirs[w->depth--]);
        return 1;
    }
    int cur = w->dirs[w->depth];
    int node = openat(cur, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (node < 0)
        return -1;
    int rc = fstat(node, &st);
    if (rc != 0 || S_ISLNK(st.st_mode)) {
        rc = rc == 0 ? walk_splice(w, node) : -1;
        close(node);
        return rc == 0 ? 1 : -1;
    }
    if (last) {
        close(node);
        *fd = openat(cur, name, open_flags(flags) | O_NOFOLLOW);
        return *fd < 0 ? -1 : 0;
    }
    if (!S_ISDIR(st.st_mode) || w->depth == WALK_DEPTH_MAX) {
        close(node);
        errno = S_ISDIR(st.st_mode) ? ENAMETOOLONG : ENOTDIR;
        return -1;
    }
    w->dirs[++w->depth] = node;
    return 1;
}

static int beneath_walk(int tree_fd, const char *rel, int flags)
{
    walk_st w;
    w.dirs[0] = tree_fd;
    w.depth = 0;
    w.links = 0;
    if (strlen(rel) >= sizeof w.rest) {
        errno = ENAMETOOLONG;
        return -1;
    }
    strcpy(w.rest, rel);
    int fd = -1, rc = 1, last = 0;
    char name[KOR_PATH_MAX];
    while (rc == 1) {
        int more = walk_next(&w, name, sizeof name, &last);
        if (more <= 0) {
            rc = -1;
            errno = more == 0 ? EISDIR : errno; /* the path ended at a directory */
            break;
        }
        rc = walk_step(&w, name, last, flags, &fd);
    }
    int err = errno;
    walk_release(&w);
    errno = err;
    return rc == 0 ? fd : -1;
}

/* ---- the check ---- */

/* The refusal that an open failure stands for, or NULL for a plain one. */
static const char *open_refusal(int err)
{
    switch (err) {
    case EXDEV:
        return REASON_ESCAPE;
    case ELOOP:
        return REASON_LOOP;
    case EISDIR:
    case ENXIO: /* a FIFO without a reader, a device without its driver */
        return REASON_NOT_REGULAR;
    default:
        return NULL;
    }
}

static int beneath_resolve(int tree_fd, const char *rel, int flags, kro_trust_resolver how)
{
    if (how == KRO_TRUST_OPENAT2 && !__atomic_load_n(&s_no_openat2, __ATOMIC_RELAXED)) {
        int fd = beneath_openat2(tree_fd, rel, flags);
        if (fd >= 0 || errno != ENOSYS)
            return fd;
        __atomic_store_n(&s_no_openat2, 1, __ATOMIC_RELAXED);
    }
    return beneath_walk(tree_fd, rel, flags);
}

/* 1 when rel resolves to something other than a regular file.  Run only
 * after an open failed, so that a device node that refuses to open (a pty
 * slave outside its devpts, a node on a nodev mount) counts as what it is. */
static int beneath_is_special(int tree_fd, const char *rel, kro_trust_resolver how)
{
    int fd = beneath_resolve(tree_fd, rel, O_PATH, how);
    struct stat st;
    int special = fd >= 0 && fstat(fd, &st) == 0 && !S_ISREG(st.st_mode);
    if (fd >= 0)
        close(fd);
    return special;
}

int kro_trust_open_beneath(int tree_fd, const char *rel, int flags, kro_trust_resolver how, const char **reason)
{
    int fd = beneath_resolve(tree_fd, rel, flags, how);
    int err = errno;
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        *reason = NULL;
        return fd;
    }
    if (fd >= 0) {
        close(fd);
        *reason = REASON_NOT_REGULAR;
    } else {
        *reason = open_refusal(err);
        if (*reason == NULL && err != ENOENT && beneath_is_special(tree_fd, rel, how))
            *reason = REASON_NOT_REGULAR;
    }
    errno = *reason != NULL ? EXDEV : err;
    return -1;
}

static void tree_read(void)
{
    property_get(KRO_TRUST_NV_ROOT_PROP, s_tree, KRO_TRUST_NV_ROOT_DEFAULT);
    size_t len = strlen(s_tree);
    while (len > 1 && s_tree[len - 1] == '/')
        s_tree[--len] = '\0';
}

/* The tree's descriptor, opened (through the platform seam, so below
 * KORV_ROOT on the simulated phone) the first time the tree exists. */
static int tree_fd(void)
{
    int fd = __atomic_load_n(&s_tree_fd, __ATOMIC_ACQUIRE);
    if (fd >= 0)
        return fd;
    int mine = kor_open(s_tree, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (mine < 0)
        return -1;
    int expected = -1;
    if (__atomic_compare_exchange_n(&s_tree_fd, &expected, mine, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
        return mine;
    close(mine);
    return expected;
}

int kro_trust_open(const char *path, int flags)
{
    pthread_once(&s_tree_once, tree_read);
    const char *reason = NULL;
    const char *rel = kro_trust_below(s_tree, path, &reason);
    int tree = rel != NULL ? tree_fd() : -1;
    int fd = tree >= 0 ? kro_trust_open_beneath(tree, rel, flags, KRO_TRUST_OPENAT2, &reason) : -1;
    if (reason != NULL) {
        LOG_NV_ERR("[NV][FLOW]: refused path %s: %s\n", path, reason);
        errno = EXDEV;
    }
    return fd;
}

FILE *kro_trust_fopen(const char *path, const char *mode)
{
    int flags;
    if (strcmp(mode, "r") == 0) {
        flags = O_RDONLY;
    } else if (strcmp(mode, "r+") == 0) {
        flags = O_RDWR;
    } else {
        errno = EINVAL;
        return NULL;
    }
    int fd = kro_trust_open(path, flags);
    if (fd < 0)
        return NULL;
    FILE *fp = fdopen(fd, mode);
    if (fp == NULL)
        close(fd);
    return fp;
}
