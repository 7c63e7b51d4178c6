// Builds the simulated phone root (the KORV_ROOT layout): every file a phone
// would have before korv starts.  Existing data files are kept, so init also
// completes a root that a test built in part; the tools and libraries copied
// from the build are always refreshed, so a root never runs stale binaries.
#include "sim_root.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr uint64_t k_modem_memory = 64ull << 20;
constexpr size_t k_sysconfig_size = 1u << 20;

const char *const k_cfg =
    "# korv configuration of the simulated phone (key = value)\n"
    "bw.log.general.info = 1\n"
    "bw.log.atiext.info = 1\n"
    "bw.log.aep.info = 1\n"
    "bw.log.ati.info = 1\n"
    "bw.log.amt.info = 1\n"
    "bw.log.nvram.info = 1\n"
    "bw.log.mux.info = 1\n"
    "bw.log.aos.info = 1\n"
    "bw.log.mdm.info = 1\n"
    "bw.log.size = 5242880\n"
    "bw.nvupdate.dev.name = /dev/modem\n"
    "bw.sysconfig.ma.file = /data/brimwell/nvram/nvram_sysconfig_ma.bin\n"
    "bw.sysconfig.da.file = /data/brimwell/nvram/nvram_sysconfig_da.bin\n"
    "bw.user.data.file = /data/brimwell/nvram/nvram_user_data.bin\n";

const char *const k_modem_conf =
    "# Settings of the simulated modem driver, read at every request.\n"
    "# Numbers are decimal or 0x hex.  Uncomment a line to change the answer.\n"
    "#\n"
    "# Where the NVRAM cache lies in modem memory, and its length:\n"
    "# nvram_base = 0x800000\n"
    "# nvram_size = 0x100000\n"
    "#\n"
    "# Ext-info answers by id (6: offset of the power-on trace-log switch):\n"
    "# ext_info.6 = 0x3FF000\n"
    "#\n"
    "# Requests that fail with EIO:\n"
    "# fail = 0x4D03, 0x4D05\n"
    "#\n"
    "# How long every request takes, in ms (at most 2000):\n"
    "# delay_ms = 300\n";

const char *const k_utran_load_config =
    "# how binaries of this waveform are loaded\nload_wave_type_ex = 1  # 1: ask wf_config.ini\n";
const char *const k_utran_wf_config =
    "; binaries the modem authenticates itself\n\nbin_name = u_auth.bin ; signed image\n";

std::string pattern(size_t n, const std::function<uint8_t(size_t)> &byte) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) s[i] = static_cast<char>(byte(i));
    return s;
}

/* MA/BA image: each little-endian 32-bit word holds its own offset XOR
 * 0x5A5A5A5A, so a misplaced or shifted copy is visible at a glance. */
std::string sysconfig_image() {
    return pattern(k_sysconfig_size, [](size_t i) {
        uint32_t word = static_cast<uint32_t>(i & ~size_t{3}) ^ 0x5A5A5A5Au;
        return static_cast<uint8_t>(word >> (8 * (i & 3)));
    });
}

struct builder {
    fs::path root;
    std::string *err;

    bool fail(const std::string &what) {
        if (err) *err = what;
        return false;
    }

    bool dir(const std::string &rel) {
        std::error_code ec;
        fs::create_directories(root / rel, ec);
        return !ec || fail("cannot create " + (root / rel).string() + ": " + ec.message());
    }

    /* Writes the file only when it is missing: data already there is kept. */
    bool file(const std::string &rel, const std::string &content) {
        fs::path p = root / rel;
        if (fs::exists(p)) return true;
        if (!dir(fs::path(rel).parent_path().string())) return false;
        std::ofstream out(p, std::ios::binary | std::ios::trunc);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        out.close();
        return out.good() || fail("cannot write " + p.string());
    }

    bool sparse(const std::string &rel, uint64_t size) {
        fs::path p = root / rel;
        if (fs::exists(p)) return true;
        int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        bool ok = fd >= 0 && ftruncate(fd, static_cast<off_t>(size)) == 0;
        if (fd >= 0) close(fd);
        return ok || fail("cannot create " + p.string() + ": " + strerror(errno));
    }

    bool fifo(const std::string &rel) {
        fs::path p = root / rel;
        if (fs::is_fifo(p)) return true;
        return mkfifo(p.c_str(), 0660) == 0 ||
               fail("cannot create FIFO " + p.string() + ": " + strerror(errno));
    }

    /* Built artefacts are copied every time, keeping their mode bits. */
    bool copy(const std::string &from, const std::string &rel) {
        std::error_code ec;
        fs::path to = root / rel;
        if (!fs::exists(from)) return fail("not built: " + from);
        if (!dir(fs::path(rel).parent_path().string())) return false;
        fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
        return !ec || fail("cannot copy " + from + " to " + to.string() + ": " + ec.message());
    }
};

bool build_config_and_tools(builder &b) {
    return b.file("system/etc/bw-hqs.cfg", k_cfg) &&
           b.copy(korv_sim_bin_dir() + "/bw-dump", "system/bin/bw-dump") &&
           b.copy(korv_sim_lib_dir() + "/amt.bw7720.misc.so",
                  "system/lib64/hw/amt.bw7720.misc.so") &&
           b.copy(std::string(KORV_SOURCE_DIR) + "/init/korv.rc", "system/etc/init/korv.rc");
}

bool build_nvram(builder &b) {
    const std::string nv = "data/brimwell/nvram/";
    std::string image = sysconfig_image();
    return b.file(nv + "nvram_sysconfig_ma.bin", image) &&
           b.file(nv + "nvram_sysconfig_ba.bin", image) &&
           b.file(nv + "nvram_sysconfig_da.bin", std::string(65536, '\0')) &&
           b.file(nv + "nvram_user_data.bin", std::string(65536, '\0')) &&
           /* all ones, so the status record that korv writes shows */
           b.file(nv + "nvram_log.bin", std::string(4, '\xff')) && b.dir("data/brimwell/dump");
}

bool build_waveforms(builder &b) {
    const std::string wf = "data/brimwell/wf_manager/waveform/";
    std::string wfconfig = pattern(4096, [](size_t i) { return (i * 5 + 2) & 0xFF; });
    return b.file(wf + "UTRAN/nvram_utran.bin", pattern(65536, [](size_t i) { return i & 0xFF; })) &&
           b.file(wf + "UTRAN/u.bin", pattern(8192, [](size_t i) { return (i * 7 + 3) & 0xFF; })) &&
           b.file(wf + "UTRAN/u_auth.bin",
                  pattern(4096, [](size_t i) { return (i * 13 + 5) & 0xFF; })) &&
           b.file(wf + "UTRAN/load_config.ini", k_utran_load_config) &&
           b.file(wf + "UTRAN/wf_config.ini", k_utran_wf_config) &&
           b.file(wf + "LTEP2P/nvram_wfconfig.bin", wfconfig) &&
           b.file(wf + "LTEP2P/nvram_wfconfig.bin.bak", wfconfig) &&
           b.file(wf + "LTEP2P/nvram_ltep2p.bin",
                  pattern(65536, [](size_t i) { return (i * 3) & 0xFF; })) &&
           b.file(wf + "LTEP2P/l.bin", pattern(16384, [](size_t i) { return (i * 11 + 1) & 0xFF; }));
}

bool build_devices(builder &b) {
    return b.dir("dev/__properties__") && b.dir("dev/log") && b.sparse("dev/modem", k_modem_memory) &&
           b.file("dev/modem.conf", k_modem_conf) && b.file("dev/modem.log", "") &&
           b.fifo("dev/socbridge") && b.file("init/ctl.log", "") &&
           b.file("sys/tarno/usim_voltage", "") && b.file("sys/tarno/usim2_voltage", "") &&
           b.file("sys/kernel/boot_adsp/boot", "");
}

std::string env_or(const char *name, const char *fallback) {
    const char *v = getenv(name);
    return v && *v ? v : fallback;
}

}  // namespace

int korv_sim_init(const std::string &dir, std::string *err) {
    if (dir.empty()) {
        if (err) *err = "no directory given";
        return -1;
    }
    builder b{fs::absolute(dir), err};
    bool ok = b.dir(".") && build_devices(b) && build_config_and_tools(b) && build_nvram(b) &&
              build_waveforms(b);
    return ok ? 0 : -1;
}

int korv_sim_user(const std::string &name, uid_t *uid, gid_t *gid, std::string *err) {
    const struct passwd *pw = getpwnam(name.c_str());
    if (pw == nullptr) {
        if (err) *err = "no user " + name;
        return -1;
    }
    *uid = pw->pw_uid;
    *gid = pw->pw_gid;
    return 0;
}

int korv_sim_own(const std::string &dir, uid_t uid, gid_t gid, std::string *err) {
    std::error_code ec;
    fs::path root = fs::absolute(dir);
    bool ok = lchown(root.c_str(), uid, gid) == 0;
    for (auto it = fs::recursive_directory_iterator(root, ec); ok && !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        ok = lchown(it->path().c_str(), uid, gid) == 0;
    if (ok && !ec) return 0;
    if (err) *err = "cannot hand " + root.string() + " to uid " + std::to_string(uid) + ": " +
                    (ec ? ec.message() : strerror(errno));
    return -1;
}

/* "ME", the type and the payload's length (little-endian), the payload. */
int korv_sim_exception(const std::string &dir, uint32_t type, std::string *err) {
    static const char k_payload[] = "korv-sim";
    const uint32_t len = sizeof k_payload - 1;
    std::string rec = "ME";
    for (uint32_t v : {type, len})
        for (int i = 0; i < 4; i++) rec += static_cast<char>((v >> (8 * i)) & 0xFF);
    rec.append(k_payload, len);
    std::string path = fs::absolute(dir).string() + "/dev/socbridge";
    /* Non-blocking: with no reader the open fails at once (ENXIO) instead of
     * waiting for one. */
    int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (err)
            *err = errno == ENXIO ? "nothing reads " + path + ": start korv-sim run " + dir + " first"
                                  : "cannot open " + path + ": " + strerror(errno);
        return -1;
    }
    /* Shorter than PIPE_BUF: written whole or not at all. */
    ssize_t n = write(fd, rec.data(), rec.size());
    int saved = errno;
    close(fd);
    if (n == static_cast<ssize_t>(rec.size())) return 0;
    if (err) *err = "cannot write to " + path + ": " + strerror(n < 0 ? saved : EAGAIN);
    return -1;
}

std::string korv_sim_bin_dir() { return env_or("KORV_SIM_BIN_DIR", KORV_BUILD_BIN_DIR); }
std::string korv_sim_lib_dir() { return env_or("KORV_SIM_LIB_DIR", KORV_BUILD_LIB_DIR); }
