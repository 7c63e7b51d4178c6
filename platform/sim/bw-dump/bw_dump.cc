/* bw-dump stand-in: the modem dump tool that korv starts in the background
 * after a modem exception ("bw-dump -l 0|1 -r 0|1").  It records its call in
 * /dev/bw-dump.log, with -l 1 copies modem memory (/dev/modem) to
 * /data/brimwell/dump/modem-<stamp>.bin keeping the three newest dumps, and
 * finally reports completion by setting persist.brimwell.dump.finish to 1.
 * Paths are device paths, mapped below KORV_ROOT (inherited from korv).
 * Test knobs: sim.bwdump.delay_ms (wait before finishing) and
 * sim.bwdump.never = 1 (never report completion). */
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "cutils/properties.h"
#include "kor_platform.h"

namespace {

constexpr const char *k_dump_dir = "/data/brimwell/dump";
constexpr size_t k_keep = 3;

std::string mapped(const std::string &device_path) {
    char out[KOR_PATH_MAX];
    if (kor_path_map(device_path.c_str(), out, sizeof out) != 0) return device_path;
    return out;
}

void record_call(int argc, char **argv) {
    std::string line = "bw-dump";
    for (int i = 1; i < argc; i++) line += std::string(" ") + argv[i];
    line += "\n";
    int fd = open(mapped("/dev/bw-dump.log").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    if (write(fd, line.data(), line.size()) != (ssize_t)line.size())
        fprintf(stderr, "bw-dump: short write to its log\n");
    close(fd);
}

/* "-l X -r Y" with X, Y in {0, 1}, in either order. */
int parse_args(int argc, char **argv, int *log_switch, int *reset_switch) {
    *log_switch = *reset_switch = -1;
    int opt;
    while ((opt = getopt(argc, argv, "l:r:")) != -1) {
        int *slot = opt == 'l' ? log_switch : opt == 'r' ? reset_switch : nullptr;
        if (!slot || (strcmp(optarg, "0") != 0 && strcmp(optarg, "1") != 0)) return -1;
        *slot = optarg[0] - '0';
    }
    return optind == argc && *log_switch >= 0 && *reset_switch >= 0 ? 0 : -1;
}

bool all_zero(const char *p, size_t n) {
    return n == 0 || (p[0] == 0 && memcmp(p, p + 1, n - 1) == 0);
}

/* Copies [from, to) of src into dst, leaving runs of zeros as holes. */
int copy_range(int src, int dst, off_t from, off_t to) {
    static char buf[1 << 16];
    while (from < to) {
        size_t want = (size_t)std::min<off_t>(sizeof buf, to - from);
        ssize_t n = pread(src, buf, want, from);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        if (!all_zero(buf, (size_t)n) && pwrite(dst, buf, (size_t)n, from) != n) return -1;
        from += n;
    }
    return 0;
}

/* Walks the data extents of the memory file (all of it where the file
 * system cannot tell holes), so a 64 MiB sparse memory dumps quickly. */
int copy_sparse(int src, int dst, off_t size) {
    for (off_t at = 0; at < size;) {
        off_t data = lseek(src, at, SEEK_DATA);
        if (data < 0 && errno == ENXIO) break; /* only a hole is left */
        if (data < 0) return copy_range(src, dst, at, size);
        off_t hole = lseek(src, data, SEEK_HOLE);
        if (hole < 0) hole = size;
        if (copy_range(src, dst, data, hole) != 0) return -1;
        at = hole;
    }
    return ftruncate(dst, size);
}

std::string stamp() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tm;
    localtime_r(&tv.tv_sec, &tm);
    char text[64];
    size_t n = strftime(text, sizeof text, "%Y%m%d-%H%M%S", &tm);
    snprintf(text + n, sizeof text - n, ".%03ld-%d", (long)(tv.tv_usec / 1000), (int)getpid());
    return text;
}

/* Stamps sort by time, so the oldest dumps are the first names. */
void keep_newest(const std::string &dir) {
    std::vector<std::string> dumps;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            std::string name = e->d_name;
            if (name.rfind("modem-", 0) == 0 && name.size() > 4 &&
                name.compare(name.size() - 4, 4, ".bin") == 0)
                dumps.push_back(name);
        }
        closedir(d);
    }
    std::sort(dumps.begin(), dumps.end());
    for (size_t i = 0; i + k_keep < dumps.size(); i++) unlink((dir + "/" + dumps[i]).c_str());
}

int dump_memory() {
    std::string dir = mapped(k_dump_dir);
    mkdir(dir.c_str(), 0755);
    std::string tmp = dir + "/.partial-" + std::to_string(getpid());
    std::string final_path = dir + "/modem-" + stamp() + ".bin";
    int src = open(mapped("/dev/modem").c_str(), O_RDONLY | O_CLOEXEC);
    if (src < 0) {
        fprintf(stderr, "bw-dump: cannot open /dev/modem: %s\n", strerror(errno));
        return -1;
    }
    int rc = -1;
    struct stat st;
    int dst = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (dst >= 0 && fstat(src, &st) == 0) rc = copy_sparse(src, dst, st.st_size);
    if (dst >= 0 && close(dst) != 0) rc = -1;
    close(src);
    /* A dump appears under its final name only when it is whole. */
    if (rc == 0) rc = rename(tmp.c_str(), final_path.c_str());
    if (rc != 0) {
        fprintf(stderr, "bw-dump: dump failed: %s\n", strerror(errno));
        unlink(tmp.c_str());
        return -1;
    }
    keep_newest(dir);
    return 0;
}

bool prop_is(const char *name, char first) {
    char value[PROPERTY_VALUE_MAX];
    property_get(name, value, "");
    return value[0] == first;
}

}  // namespace

int main(int argc, char **argv) {
    record_call(argc, argv);
    int log_switch, reset_switch;
    if (parse_args(argc, argv, &log_switch, &reset_switch) != 0) {
        fprintf(stderr, "usage: bw-dump -l 0|1 -r 0|1\n");
        return 2;
    }
    /* A failed dump still reports completion: korv would wait for ever. */
    if (log_switch == 1) dump_memory();
    char delay[PROPERTY_VALUE_MAX];
    property_get("sim.bwdump.delay_ms", delay, "0");
    long ms = strtol(delay, nullptr, 10);
    if (ms > 0) usleep((useconds_t)std::min(ms, 600000L) * 1000);
    if (prop_is("sim.bwdump.never", '1')) return 0;
    return property_set("persist.brimwell.dump.finish", "1") == 0 ? 0 : 1;
}
