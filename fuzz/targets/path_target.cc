/* Fuzz target "path": the confinement check of framework-named paths on a
 * tree of traps below the NV tree (links inside, links out, absolute links,
 * a link loop, a FIFO, directories).  Byte 0: bit 0 opens read-write
 * (else read-only), bit 1 puts "/data/brimwell/fz/" in front of the rest
 * (else the rest is the whole device path); the rest, up to its first NUL
 * and at most 512 bytes, is the path.
 *
 * Checked: the textual check refuses exactly the paths outside the tree or
 * with a ".." component; the two resolvers (openat2 and the component walk)
 * agree on every path: both open the same file or both fail, with the same
 * refusal; whatever opens is a regular file inside the NV tree; and the
 * public entry point (kro_trust_open, below KORV_ROOT) answers as they do. */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz/targets/fuzz_targets.h"
#include "trust/trust.h"
#include "trust/trust_int.h"

#define CHECK(cond) KORV_FUZZ_CHECK("path", cond)
#define PATH_INPUT_MAX 512
#define TREE KRO_TRUST_NV_ROOT_DEFAULT

static int s_tree_fd = -1; /* the NV tree of the fuzz root, opened at init */

static void path_fuzz_init(void)
{
    namespace fs = std::filesystem;
    fs::path nv = korv_fuzz_path(TREE);
    fs::path fz = nv / "fz";
    fs::create_directories(fz / "a/b");
    std::ofstream(fz / "a/file") << "inside";
    std::ofstream(korv_fuzz_path("/system/secret")) << "outside";
    fs::create_symlink("a/file", fz / "in");
    fs::create_symlink("../file", fz / "a/b/up");
    fs::create_symlink("a", fz / "dir");
    fs::create_symlink("../../system/secret", fz / "out");
    fs::create_symlink("../../../../system/secret", fz / "a/b/deep_out");
    fs::create_symlink(korv_fuzz_path("/system/secret"), fz / "abs");
    fs::create_symlink("loop", fz / "loop");
    fs::create_symlink("..", fz / "a/parent");
    if (mkfifo((fz / "fifo").c_str(), 0666) != 0) abort();
    s_tree_fd = open(nv.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (s_tree_fd < 0) abort();
}

/* 1 when the device path lies beneath the tree without a ".." component
 * and names more than the tree itself. */
static int textually_inside(const std::string &path)
{
    std::string prefix = std::string(TREE) + "/";
    if (path.compare(0, prefix.size(), prefix) != 0 || path.find_first_not_of('/', prefix.size()) == std::string::npos)
        return 0;
    std::string rest = "/" + path.substr(prefix.size()) + "/";
    return rest.find("/../") == std::string::npos;
}

typedef struct {
    int fd;
    int err;
    const char *reason;
    struct stat st;
} path_outcome;

static path_outcome resolve(const char *rel, int flags, kro_trust_resolver how)
{
    path_outcome o;
    memset(&o, 0, sizeof o);
    o.fd = kro_trust_open_beneath(s_tree_fd, rel, flags, how, &o.reason);
    o.err = o.fd < 0 ? errno : 0;
    if (o.fd >= 0) CHECK(fstat(o.fd, &o.st) == 0 && S_ISREG(o.st.st_mode));
    return o;
}

/* An opened file lies inside the NV tree of the fuzz root. */
static void check_inside(int fd)
{
    char link[64], target[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    CHECK(n > 0);
    target[n] = '\0';
    std::string tree = korv_fuzz_path(TREE) + "/";
    CHECK(strncmp(target, tree.c_str(), tree.size()) == 0);
}

static int path_fuzz_one(const uint8_t *data, size_t size)
{
    if (size < 1) return 0;
    int flags = data[0] & 1 ? O_RDWR : O_RDONLY;
    std::string rest((const char *)data + 1, strnlen((const char *)data + 1, size - 1));
    if (rest.size() > PATH_INPUT_MAX) return -1;
    std::string path = (data[0] & 2 ? std::string(TREE) + "/fz/" : std::string()) + rest;

    const char *reason = NULL;
    const char *rel = kro_trust_below(TREE, path.c_str(), &reason);
    CHECK((rel != NULL) == textually_inside(path));
    int pub = kro_trust_open(path.c_str(), flags);
    int pub_err = errno;
    if (rel == NULL) {
        CHECK(reason != NULL && pub < 0 && pub_err == EXDEV);
        return 0;
    }
    path_outcome a = resolve(rel, flags, KRO_TRUST_OPENAT2);
    path_outcome b = resolve(rel, flags, KRO_TRUST_WALK);
    CHECK((a.fd >= 0) == (b.fd >= 0) && (pub >= 0) == (a.fd >= 0));
    CHECK(a.err == b.err && (pub >= 0 || pub_err == a.err));
    CHECK((a.reason == NULL) == (b.reason == NULL) && (a.reason == NULL || strcmp(a.reason, b.reason) == 0));
    if (a.fd >= 0) {
        CHECK(a.st.st_ino == b.st.st_ino && a.st.st_dev == b.st.st_dev);
        check_inside(a.fd);
        close(a.fd);
        close(b.fd);
        close(pub);
    }
    return 0;
}

const korv_fuzz_target korv_fuzz_trust_path = {"path", path_fuzz_init, path_fuzz_one};
