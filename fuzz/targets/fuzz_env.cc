/* What every fuzz target shares: the simulated root of the process, the
 * record splitter, reply sockets, and the skipped pauses.
 *
 * State: the root's directory name is set once by the first caller of
 * korv_fuzz_root (the main thread, in korv_fuzz_start) and only read
 * afterwards; the pause switch is per thread. */
#include "fuzz/targets/fuzz_targets.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "kor_msg.h"
#include "kor_os.h"
#include "sim_root.h"

#define RECORD_PREFIX 2
#define RECORD_RAW_BIT 0x8000u
#define RECORD_LEN_MASK 0x7FFFu
#define HEADER_OFF_LEN 0
#define HEADER_OFF_BODY_LEN 28

static std::string *s_root;
static thread_local bool t_skip_pauses;

static const korv_fuzz_target *const s_targets[] = {
    &korv_fuzz_cfg,   &korv_fuzz_record,    &korv_fuzz_work, &korv_fuzz_nv,
    &korv_fuzz_utran, &korv_fuzz_socbridge, &korv_fuzz_ini, &korv_fuzz_trust_path,
    &korv_fuzz_ctl,   &korv_fuzz_pcapng,    &korv_fuzz_logcat, &korv_fuzz_logfmt,
};

const korv_fuzz_target *korv_fuzz_find(const std::string &name)
{
    for (const korv_fuzz_target *t : s_targets)
        if (name == t->name) return t;
    return NULL;
}

std::string korv_fuzz_names(void)
{
    std::string names;
    for (const korv_fuzz_target *t : s_targets) names += std::string(names.empty() ? "" : " ") + t->name;
    return names;
}

[[noreturn]] void korv_fuzz_fail(const char *target, const char *what)
{
    fprintf(stderr, "korv fuzz %s: invariant broken: %s\n", target, what);
    abort();
}

static void root_remove_at_exit(void) { korv_fuzz_root_remove(); }

const std::string &korv_fuzz_root(void)
{
    if (s_root != NULL) return *s_root;
    const char *tmp = getenv("TMPDIR");
    std::string templ = std::string(tmp != NULL && *tmp ? tmp : "/tmp") + "/korv-fuzz-XXXXXX";
    std::vector<char> dir(templ.begin(), templ.end());
    dir.push_back('\0');
    std::string err;
    if (mkdtemp(dir.data()) == NULL || korv_sim_init(dir.data(), &err) != 0) {
        fprintf(stderr, "korv fuzz: no simulated root in %s: %s\n", dir.data(),
                err.empty() ? strerror(errno) : err.c_str());
        abort();
    }
    s_root = new std::string(dir.data());
    setenv("KORV_ROOT", s_root->c_str(), 1);
    /* The daemon logs every field it decodes; a run is about faults, and a
     * finding is replayed with the log switched on (docs/fuzzing.md). */
    setenv("KORV_LOG_FILE", "/dev/null", 0);
    if (chdir(s_root->c_str()) != 0) abort();
    atexit(root_remove_at_exit);
    return *s_root;
}

void korv_fuzz_start(const korv_fuzz_target *target)
{
    korv_fuzz_root();
    tp_os_log_init(0);
    if (target->init != NULL) target->init();
}

void korv_fuzz_root_remove(void)
{
    if (s_root == NULL) return;
    std::error_code ec;
    std::filesystem::remove_all(*s_root, ec); /* best effort: it is a temporary */
}

std::string korv_fuzz_path(const std::string &device_path) { return korv_fuzz_root() + device_path; }

std::string korv_fuzz_read(const std::string &host_path)
{
    std::ifstream in(host_path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void korv_fuzz_trim_journal(void)
{
    if (truncate(korv_fuzz_path("/dev/modem.log").c_str(), 0) != 0) {
        /* the driver makes it again with its next line */
    }
}

static void put_le64(uint8_t *p, uint64_t v)
{
    for (int i = 0; i < 8; i++, v >>= 8) p[i] = (uint8_t)v;
}

void korv_fuzz_records(const uint8_t *data, size_t size,
                       const std::function<void(const uint8_t *rec, size_t len)> &fn)
{
    size_t at = 0;
    while (size - at >= RECORD_PREFIX) {
        unsigned n = data[at] | (unsigned)data[at + 1] << 8;
        at += RECORD_PREFIX;
        size_t len = n & RECORD_LEN_MASK;
        if (len > KOR_RECORD_MAX) len = KOR_RECORD_MAX;
        if (len > size - at) len = size - at;
        /* A block of the record's exact size (one byte for an empty one). */
        uint8_t *rec = (uint8_t *)malloc(len > 0 ? len : 1);
        if (rec == NULL) abort();
        if (len > 0) memcpy(rec, data + at, len);
        at += len;
        if (!(n & RECORD_RAW_BIT) && len >= SCA_HEADER_SIZE) {
            put_le64(rec + HEADER_OFF_LEN, len);
            put_le64(rec + HEADER_OFF_BODY_LEN, len - SCA_HEADER_SIZE);
        }
        fn(rec, len);
        free(rec);
    }
}

void korv_fuzz_socketpair(int sv[2])
{
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv) != 0) abort();
}

void korv_fuzz_drain(int fd)
{
    char buf[4096];
    while (read(fd, buf, sizeof buf) > 0) {
    }
}

bool korv_fuzz_contains(const uint8_t *data, size_t size, const char *text)
{
    size_t n = strlen(text);
    for (size_t i = 0; i + n <= size; i++)
        if (memcmp(data + i, text, n) == 0) return true;
    return false;
}

void korv_fuzz_skip_pauses(bool skip) { t_skip_pauses = skip; }

/* The link maps every nanosleep of the statically linked code here
 * (-Wl,--wrap=nanosleep, fuzz/CMakeLists.txt and tests/fuzz-regress). */
extern "C" int __real_nanosleep(const struct timespec *req, struct timespec *rem);
extern "C" int __wrap_nanosleep(const struct timespec *req, struct timespec *rem)
{
    if (t_skip_pauses) return 0;
    return __real_nanosleep(req, rem);
}
