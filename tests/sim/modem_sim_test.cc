// The simulated modem driver: answers, journal lines, settings, fault
// injection and the channel table shared by threads and processes.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "harness.h"
#include "kor_modem.h"
#include "platform/sim/modem/modem_sim.h"

namespace {

// One request, the errno it must fail with (0: success) and its journal line
// ("": not checked).
struct step {
    unsigned long req;
    const void *arg;
    int err;
    std::string line;
};

struct modem {
    korvtest::sim_root root;
    int fd;
    modem() : fd(open(root.path("/dev/modem").c_str(), O_RDWR)) {}
    ~modem() { close(fd); }
    // 0 for success, else the errno of the failure.
    int err(unsigned long r, const void *arg) {
        int rc = modem_sim_ioctl(root.dir.c_str(), fd, r, const_cast<void *>(arg));
        return rc == 0 ? 0 : rc == -1 ? errno : -1000;
    }
    // Runs the steps; the journal gains exactly their lines.
    void run(const std::vector<step> &steps) {
        size_t before = root.journal().size();
        for (const step &s : steps) EXPECT_EQ(s.err, err(s.req, s.arg)) << s.line;
        auto j = root.journal();
        ASSERT_EQ(before + steps.size(), j.size());
        for (size_t i = 0; i < steps.size(); i++)
            EXPECT_TRUE(steps[i].line.empty() || steps[i].line == j[before + i]) << j[before + i];
    }
};

const dmi_channel k_utran0 = {"utran0", 3, 1, 0x1000, 4096, 1, 0x2000, 4096, 2, 8, 1500, 8, 1500, 5, 6};
const std::string k_create =
    "DMI_CREATE name=utran0 type=3 property=1 cp2ap=0x1000,4096,1 ap2cp=0x2000,4096,2 hs=8,1500,8,1500,5,6 = ";
const std::string k_ubin = "/data/brimwell/wf_manager/waveform/UTRAN/u.bin";

wf_bin_load_info load(const std::string &path, uint32_t dst, uint32_t len) {
    wf_bin_load_info w{};
    strcpy(w.path, path.c_str());
    w.dst_addr = dst, w.len = len;
    return w;
}

}  // namespace

TEST(ModemSim, AnswersJournalLinesSettingsAndFaultInjection) {
    modem m;
    EXPECT_TRUE(modem_sim_is_modem_fd(m.root.dir.c_str(), m.fd));
    int other = open(m.root.path("/dev/modem.conf").c_str(), O_RDONLY);
    EXPECT_FALSE(modem_sim_is_modem_fd(m.root.dir.c_str(), other));
    close(other);

    modem_nvram_cache_info cache{};
    modem_ext_info ext{6, 0, 0}, ext3{3, 99, 0};
    wf_bin_load_info w = load(k_ubin, 0x100000, 4096), missing = load("/data/none.bin", 0x200000, 16);
    m.run({
        {MODEM_NVRAM_CACHE_INFO, &cache, 0, "NVRAM_CACHE_INFO base=0x800000 size=0x100000 = 0"},
        {MODEM_RESET, nullptr, 0, "RESET = 0"},
        {MODEM_RUN, nullptr, 0, "RUN = 0"},
        {MODEM_EXT_INFO, &ext, 0, "EXT_INFO id=6 value=0x3ff000 = 0"},
        {MODEM_EXT_INFO, &ext3, 0, "EXT_INFO id=3 value=0x0 = 0"},
        {DMI_CREATE, &k_utran0, 0, k_create + "0"},
        {DMI_CREATE, &k_utran0, EEXIST, k_create + "-1 EEXIST"},
        {MODEM_RESET, nullptr, 0, "RESET = 0"},  // empties the channel table
        {DMI_DELETE, "utran0", ENOENT, "DMI_DELETE name=utran0 = -1 ENOENT"},
        {WF_BIN_LOAD, &w, 0, "WF_BIN_LOAD path=" + k_ubin + " dst=0x100000 len=4096 = 0"},
        {WF_BIN_LOAD, &missing, ENOENT, "WF_BIN_LOAD path=/data/none.bin dst=0x200000 len=16 = -1 ENOENT"},
        {0x4D99, nullptr, ENOTTY, "REQUEST 0x4d99 = -1 ENOTTY"},
    });
    EXPECT_EQ(0x800000u, cache.base);
    EXPECT_EQ(0x100000u, cache.size);
    EXPECT_EQ(0x3FF000u, ext.value);
    EXPECT_EQ(0u, ext3.value);
    EXPECT_EQ("", m.root.read("/dev/modem.channels"));
    std::string memory = m.root.path("/dev/modem");
    EXPECT_EQ(m.root.read(k_ubin).substr(0, 4096), korvtest::read_range(memory, 0x100000, 4096));
    EXPECT_EQ(std::string(16, '\0'), korvtest::read_range(memory, 0x200000, 16));

    // Settings, and requests made to fail.
    m.root.write("/dev/modem.conf",
                 "# test settings\n"
                 "nvram_base = 0x4000000   # beyond the 64 MiB memory\n"
                 "nvram_size = 65536\n"
                 "ext_info.3 = 7\n"
                 "ext_info.6 = 0x10\n"
                 "nvram_size = nonsense\n"
                 "fail = 0x4D04, 0x4D05,0x4D07\n");
    ext = {6, 0, 0};
    w = load(k_ubin, 0, 16);
    m.run({
        {MODEM_NVRAM_CACHE_INFO, &cache, 0, ""},
        {MODEM_EXT_INFO, &ext, EIO, "EXT_INFO id=6 = -1 EIO"},
        {DMI_CREATE, &k_utran0, EIO, k_create + "-1 EIO"},
        {WF_BIN_LOAD, &w, EIO, "WF_BIN_LOAD path=" + k_ubin + " dst=0x0 len=16 = -1 EIO"},
        {MODEM_NVRAM_CACHE_INFO, nullptr, EFAULT, "NVRAM_CACHE_INFO = -1 EFAULT"},
    });
    EXPECT_EQ(0x4000000u, cache.base);
    EXPECT_EQ(65536u, cache.size);
    struct stat st;
    ASSERT_EQ(0, stat(m.root.path("/dev/modem").c_str(), &st));
    EXPECT_EQ(0x4000000 + 65536, st.st_size);  // the memory reaches the cache's end

    m.root.write("/dev/modem.conf", "ext_info.3 = 7\next_info.6 = 0x10\n");
    w = load(k_ubin, 0, 8193);  // one byte more than the file holds
    dmi_channel d = k_utran0;
    memcpy(d.name, "twelve_chars", 12);  // no terminator
    m.run({{MODEM_EXT_INFO, &ext, 0, "EXT_INFO id=6 value=0x10 = 0"},
           {WF_BIN_LOAD, &w, EIO, ""},
           {DMI_CREATE, &d, EINVAL, ""}});
    EXPECT_EQ(0x10u, ext.value);

    // A slow driver answers late but answers; a delay past 2 s is cut to 2 s
    // (uncut, this one would outlast the test's time limit).
    const std::pair<const char *, long> delays[] = {{"delay_ms = 300\n", 300}, {"delay_ms = 999999\n", 2000}};
    for (const auto &[conf, at_least] : delays) {
        m.root.write("/dev/modem.conf", conf);
        auto t0 = std::chrono::steady_clock::now();
        m.run({{MODEM_EXT_INFO, &ext, 0, "EXT_INFO id=6 value=0x3ff000 = 0"}});
        EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count(),
                  at_least)
            << conf;
    }
}

TEST(ModemSim, ChannelTableSharedByThreadsAndProcesses) {
    modem m;
    pid_t child = fork();
    if (child == 0) _exit(m.err(DMI_CREATE, &k_utran0));
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_EQ(0, WEXITSTATUS(status));
    EXPECT_EQ(EEXIST, m.err(DMI_CREATE, &k_utran0));  // the child's channel is known here

    std::vector<std::thread> threads;
    std::vector<int> results(16, -1);
    for (int i = 0; i < 16; i++) {
        threads.emplace_back([&, i] {
            dmi_channel c = k_utran0;
            snprintf(c.name, sizeof c.name, "ch%d", i);
            results[i] = m.err(DMI_CREATE, &c);
            if (results[i] == 0 && i % 2 == 0) results[i] = m.err(DMI_DELETE, c.name);
        });
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(std::vector<int>(16, 0), results);
    auto table = korvtest::split_lines(m.root.read("/dev/modem.channels"));
    EXPECT_EQ(9u, table.size());  // utran0 and the eight odd channels
    EXPECT_NE(table.end(), std::find(table.begin(), table.end(), "utran0"));
    EXPECT_EQ(0, m.err(DMI_DELETE, "utran0"));
    EXPECT_EQ(27u, m.root.journal().size());
    for (const auto &line : m.root.journal()) EXPECT_NE(line.find(" = "), std::string::npos) << line;
}
