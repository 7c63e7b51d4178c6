// What korvctl tells a person whose korv cannot be reached: whether korv
// runs, whether the root is the simulated phone's, whether the caller may
// use the socket (and as whom).  Reads the file system only; no state.
#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "korvctl.h"

namespace {

std::string group_name(gid_t gid) {
    const group *g = getgrgid(gid);
    return g != nullptr ? g->gr_name : std::to_string(gid);
}

std::string user_name(uid_t uid) {
    const passwd *p = getpwuid(uid);
    return p != nullptr ? p->pw_name : std::to_string(uid);
}

std::string octal(mode_t mode) {
    char b[8];
    snprintf(b, sizeof b, "%04o", static_cast<unsigned>(mode & 07777));
    return b;
}

std::string missing(const std::string &root, const std::string &path) {
    struct stat st;
    if (root.empty())
        return "no control socket at " + path +
               ": korv is not running.  On the simulated phone, name its root: korvctl --root DIR (or KORV_ROOT=DIR)\n";
    if (stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return "no folder " + root + ": --root (or KORV_ROOT) must name the simulated phone's root, the folder "
               "`korv-sim init DIR` made\n";
    if (stat((root + "/dev").c_str(), &st) != 0)
        return root + " is no simulated phone's root (it has no dev/): --root must name the folder "
               "`korv-sim init DIR` made\n";
    return "no control socket at " + path + ": korv is not running on " + root + " (start it: korv-sim run " + root +
           ")\n";
}

std::string denied(const std::string &path) {
    struct stat st;
    std::string who = "you (" + user_name(geteuid()) + ")";
    if (stat(path.c_str(), &st) != 0)
        return "permission denied on the way to " + path + ": a folder on it is closed to " + who +
               "; run korvctl as root or as the user who made the root\n";
    return "permission denied on " + path + " (owner " + user_name(st.st_uid) + ", group " + group_name(st.st_gid) +
           ", mode " + octal(st.st_mode) + "): run korvctl as root or as a member of group " +
           group_name(st.st_gid) + "\n";
}

} // namespace

std::string korvctl_connect_advice(const std::string &root, const std::string &path, int err) {
    switch (err) {
    case ENOENT:
    case ENOTDIR:
        return missing(root, path);
    case ECONNREFUSED:
        return "nobody listens on " + path + ": korv is not running (the socket is left from an earlier korv)\n";
    case EACCES:
    case EPERM:
        return denied(path);
    default:
        return "";
    }
}
