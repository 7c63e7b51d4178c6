// The phone's /data on an ext4 image through a loop device, and power cuts of
// it.  What a cut keeps: the mounted ext4 holds written data in its own page
// cache until writeback (up to 30 s later) or an fsync sends it to the loop
// device; the loop driver then writes it into the backing file DIR/data.img.
// So the blocks that "reached the device" are exactly the backing file's
// contents, and what a cut loses is what the mounted file system still
// caches.  The copy therefore reads the backing file (never /dev/loopN, whose
// buffer cache holds the mounted file system's unwritten metadata) and
// neither syncs nor unmounts the mounted file system.  It reads with O_DIRECT
// where the host file system allows it, which keeps the copy out of the page
// cache; the kernel writes any dirty pages of the backing file itself out
// before such a read, which changes nothing the copy sees.  The device is
// modelled as keeping what it was given (no volatile write cache of its own).
#include "data_image.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr size_t k_chunk = 1u << 20;
constexpr size_t k_align = 4096;

int fail(std::string *err, const std::string &what) {
    if (err) *err = what;
    return -1;
}

std::string sys_error(const std::string &what) { return what + ": " + strerror(errno); }

/* Runs argv (searched in PATH) with its output captured; its exit status, or
 * -1 when it could not run. */
int run(const std::vector<std::string> &argv, std::string *out) {
    int pipefd[2];
    if (pipe2(pipefd, O_CLOEXEC) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipefd[1], 1);
        dup2(pipefd[1], 2);
        std::vector<char *> args;
        for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(pipefd[1]);
    char buf[4096];
    ssize_t n;
    while (pid > 0 && (n = read(pipefd[0], buf, sizeof buf)) > 0) out->append(buf, (size_t)n);
    close(pipefd[0]);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int run_ok(const std::vector<std::string> &argv, std::string *err) {
    std::string out;
    int rc = run(argv, &out);
    return rc == 0 ? 0 : fail(err, argv[0] + " failed (status " + std::to_string(rc) + "): " + out);
}

bool is_mount_point(const fs::path &p) {
    struct stat st, parent;
    return stat(p.c_str(), &st) == 0 && stat(p.parent_path().c_str(), &parent) == 0 &&
           st.st_dev != parent.st_dev;
}

int need_root(const char *what, std::string *err) {
    return geteuid() == 0
               ? 0
               : fail(err, std::string(what) + " needs root (mkfs.ext4, e2fsck and loop mounts); run it as root");
}

int make_image(const fs::path &img, unsigned mib, std::string *err) {
    int fd = open(img.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return fail(err, sys_error("cannot create " + img.string()));
    bool ok = ftruncate(fd, (off_t)mib << 20) == 0;
    close(fd);
    if (ok && run_ok({"mkfs.ext4", "-q", "-F", "-L", "korv-data", img.string()}, err) == 0) return 0;
    if (!ok) fail(err, sys_error("cannot size " + img.string()));
    unlink(img.c_str()); /* so that the next init starts afresh */
    return -1;
}

bool all_zero(const char *p, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (p[i] != 0) return false;
    return true;
}

/* O_DIRECT where the file system has it, else an ordinary read. */
int open_for_copy(const fs::path &img) {
    int fd = open(img.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
    return fd >= 0 || errno != EINVAL ? fd : open(img.c_str(), O_RDONLY | O_CLOEXEC);
}

/* Copies in_fd to out_fd, leaving runs of zeros as holes; the size copied,
 * or -1. */
off_t copy_sparse(int in_fd, int out_fd) {
    void *mem = nullptr;
    if (posix_memalign(&mem, k_align, k_chunk) != 0) return -1;
    char *buf = static_cast<char *>(mem);
    off_t size = 0;
    ssize_t n;
    while ((n = read(in_fd, buf, k_chunk)) > 0) {
        bool ok = all_zero(buf, (size_t)n) || pwrite(out_fd, buf, (size_t)n, size) == n;
        if (!ok) break;
        size += n;
    }
    free(mem);
    return n == 0 && ftruncate(out_fd, size) == 0 ? size : -1;
}

}  // namespace

int korv_sim_data_image(const std::string &dir, unsigned mib, std::string *err) {
    if (need_root("korv-sim init --data-image", err) != 0) return -1;
    fs::path root = fs::absolute(dir), img = root / "data.img", data = root / "data";
    std::error_code ec;
    fs::create_directories(data, ec);
    if (ec) return fail(err, "cannot create " + data.string() + ": " + ec.message());
    if (is_mount_point(data)) return 0;
    if (!fs::is_empty(data, ec)) return fail(err, data.string() + " already holds files; the image would hide them");
    if (!fs::exists(img) && make_image(img, mib, err) != 0) return -1;
    return run_ok({"mount", "-o", "loop", img.string(), data.string()}, err);
}

int korv_sim_data_settle(const std::string &dir, std::string *err) {
    fs::path data = fs::absolute(dir) / "data";
    int fd = open(data.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int rc = fd >= 0 && syncfs(fd) == 0 ? 0 : fail(err, sys_error("cannot sync " + data.string()));
    if (fd >= 0) close(fd);
    return rc;
}

int korv_sim_powercut(const std::string &dir, const std::string &out, std::string *err) {
    fs::path img = fs::absolute(dir) / "data.img";
    int in_fd = open_for_copy(img);
    if (in_fd < 0) return fail(err, sys_error("cannot read " + img.string()));
    int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int rc = out_fd >= 0 && copy_sparse(in_fd, out_fd) >= 0
                 ? 0
                 : fail(err, sys_error("cannot copy " + img.string() + " to " + out));
    close(in_fd);
    if (out_fd >= 0) close(out_fd);
    return rc;
}

int korv_sim_inspect(const std::string &image, const std::string &mnt, std::string *report,
                     std::string *err) {
    if (need_root("korv-sim inspect", err) != 0) return -1;
    /* 0: clean, 1: errors fixed (a replayed journal counts here); from 4 on
     * the file system stays damaged. */
    int rc = run({"e2fsck", "-f", "-y", image}, report);
    if (rc < 0 || rc >= 4)
        return fail(err, "e2fsck found damage it could not repair (status " + std::to_string(rc) + ")");
    std::error_code ec;
    fs::create_directories(mnt, ec);
    return run_ok({"mount", "-o", "loop,ro", image, mnt}, err);
}

int korv_sim_umount(const std::string &dir, std::string *err) {
    if (need_root("korv-sim umount", err) != 0) return -1;
    fs::path root = fs::absolute(dir), data = root / "data";
    fs::path target = is_mount_point(data) ? data : root;
    if (!is_mount_point(target)) return fail(err, "nothing is mounted on " + data.string() + " or " + root.string());
    return umount(target.c_str()) == 0 ? 0 : fail(err, sys_error("cannot unmount " + target.string()));
}
