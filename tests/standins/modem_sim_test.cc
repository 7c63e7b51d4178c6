// The simulated modem driver: answers, journal lines, settings, fault
// injection and the channel table shared by threads and processes.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"
#include "kor_modem.h"
#include "platform/modem_sim/modem_sim.h"

namespace {

struct modem {
    korvtest::sim_root root;
    int fd;
    modem() : fd(open(root.path("/dev/modem").c_str(), O_RDWR)) {}
    ~modem() { close(fd); }
    /* 0 for success, else the errno of the failure. */
    int err(unsigned long r, const void *arg) {
        int rc = modem_sim_ioctl(root.dir.c_str(), fd, r, const_cast<void *>(arg));
        return rc == 0 ? 0 : rc == -1 ? errno : -1000;
    }
};

const dmi_channel k_utran0 = {"utran0", 3, 1, 0x1000, 4096, 1, 0x2000, 4096, 2, 8, 1500, 8, 1500, 5, 6};

wf_bin_load_info load(const char *path, uint32_t dst, uint32_t len) {
    wf_bin_load_info w{};
    strcpy(w.path, path);
    w.dst_addr = dst, w.len = len;
    return w;
}

std::string range(const std::string &path, off_t at, size_t n) {
    std::string out(n, '\0');
    int fd = open(path.c_str(), O_RDONLY);
    ssize_t got = pread(fd, out.data(), n, at);
    close(fd);
    out.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return out;
}

const char *const k_ubin = "/data/brimwell/wf_manager/waveform/UTRAN/u.bin";

}  // namespace

TEST(ModemSim, AnswersAndJournalLines) {
    modem m;
    EXPECT_TRUE(modem_sim_is_modem_fd(m.root.dir.c_str(), m.fd));
    int other = open(m.root.path("/dev/modem.conf").c_str(), O_RDONLY);
    EXPECT_FALSE(modem_sim_is_modem_fd(m.root.dir.c_str(), other));
    close(other);

    modem_nvram_cache_info cache{};
    ASSERT_EQ(0, m.err(MODEM_NVRAM_CACHE_INFO, &cache));
    EXPECT_EQ(0x800000u, cache.base);
    EXPECT_EQ(0x100000u, cache.size);
    EXPECT_EQ(0, m.err(MODEM_RESET, nullptr));
    EXPECT_EQ(0, m.err(MODEM_RUN, nullptr));
    modem_ext_info ext{6, 0, 0}, ext3{3, 99, 0};
    EXPECT_EQ(0, m.err(MODEM_EXT_INFO, &ext));
    EXPECT_EQ(0x3FF000u, ext.value);
    EXPECT_EQ(0, m.err(MODEM_EXT_INFO, &ext3));
    EXPECT_EQ(0u, ext3.value);
    EXPECT_EQ(0, m.err(DMI_CREATE, &k_utran0));
    EXPECT_EQ(EEXIST, m.err(DMI_CREATE, &k_utran0));
    EXPECT_EQ("utran0\n", m.root.read("/dev/modem.channels"));
    EXPECT_EQ(0, m.err(MODEM_RESET, nullptr));
    EXPECT_EQ("", m.root.read("/dev/modem.channels"));
    EXPECT_EQ(ENOENT, m.err(DMI_DELETE, "utran0"));
    wf_bin_load_info w = load(k_ubin, 0x100000, 4096), missing = load("/data/none.bin", 0x200000, 16);
    EXPECT_EQ(0, m.err(WF_BIN_LOAD, &w));
    EXPECT_EQ(ENOENT, m.err(WF_BIN_LOAD, &missing));
    EXPECT_EQ(ENOTTY, m.err(0x4D99, nullptr));

    std::vector<std::string> want = {
        "NVRAM_CACHE_INFO base=0x800000 size=0x100000 = 0",
        "RESET = 0",
        "RUN = 0",
        "EXT_INFO id=6 value=0x3ff000 = 0",
        "EXT_INFO id=3 value=0x0 = 0",
        "DMI_CREATE name=utran0 type=3 property=1 cp2ap=0x1000,4096,1 ap2cp=0x2000,4096,2 "
        "hs=8,1500,8,1500,5,6 = 0",
        "DMI_CREATE name=utran0 type=3 property=1 cp2ap=0x1000,4096,1 ap2cp=0x2000,4096,2 "
        "hs=8,1500,8,1500,5,6 = -1 EEXIST",
        "RESET = 0",
        "DMI_DELETE name=utran0 = -1 ENOENT",
        "WF_BIN_LOAD path=/data/brimwell/wf_manager/waveform/UTRAN/u.bin dst=0x100000 len=4096 = 0",
        "WF_BIN_LOAD path=/data/none.bin dst=0x200000 len=16 = -1 ENOENT",
        "REQUEST 0x4d99 = -1 ENOTTY",
    };
    EXPECT_EQ(want, m.root.journal());
    std::string memory = m.root.path("/dev/modem");
    EXPECT_EQ(m.root.read(k_ubin).substr(0, 4096), range(memory, 0x100000, 4096));
    EXPECT_EQ(std::string(16, '\0'), range(memory, 0x200000, 16));
}

TEST(ModemSim, SettingsAndFaultInjection) {
    modem m;
    m.root.write("/dev/modem.conf",
                 "# test settings\n"
                 "nvram_base = 0x4000000   # beyond the 64 MiB memory\n"
                 "nvram_size = 65536\n"
                 "ext_info.3 = 7\n"
                 "ext_info.6 = 0x10\n"
                 "nvram_size = nonsense\n"
                 "fail = 0x4D04, 0x4D05,0x4D07\n");
    modem_nvram_cache_info cache{};
    ASSERT_EQ(0, m.err(MODEM_NVRAM_CACHE_INFO, &cache));
    EXPECT_EQ(0x4000000u, cache.base);
    EXPECT_EQ(65536u, cache.size);
    struct stat st;
    ASSERT_EQ(0, stat(m.root.path("/dev/modem").c_str(), &st));
    EXPECT_EQ(0x4000000 + 65536, st.st_size); /* the memory reaches the cache's end */

    modem_ext_info ext{6, 0, 0};
    wf_bin_load_info w = load(k_ubin, 0, 16);
    EXPECT_EQ(EIO, m.err(MODEM_EXT_INFO, &ext));
    EXPECT_EQ(EIO, m.err(DMI_CREATE, &k_utran0));
    EXPECT_EQ(EIO, m.err(WF_BIN_LOAD, &w));
    EXPECT_EQ(EFAULT, m.err(MODEM_NVRAM_CACHE_INFO, nullptr));

    m.root.write("/dev/modem.conf", "ext_info.3 = 7\next_info.6 = 0x10\n");
    EXPECT_EQ(0, m.err(MODEM_EXT_INFO, &ext));
    EXPECT_EQ(0x10u, ext.value);
    w = load(k_ubin, 0, 8193); /* one byte more than the file holds */
    EXPECT_EQ(EIO, m.err(WF_BIN_LOAD, &w));
    dmi_channel d = k_utran0;
    memcpy(d.name, "twelve_chars", 12); /* no terminator */
    EXPECT_EQ(EINVAL, m.err(DMI_CREATE, &d));

    auto j = m.root.journal();
    ASSERT_EQ(8u, j.size());
    EXPECT_EQ("EXT_INFO id=6 = -1 EIO", j[1]);
    EXPECT_EQ("DMI_CREATE name=utran0 type=3 property=1 cp2ap=0x1000,4096,1 "
              "ap2cp=0x2000,4096,2 hs=8,1500,8,1500,5,6 = -1 EIO",
              j[2]);
    EXPECT_EQ("WF_BIN_LOAD path=" + std::string(k_ubin) + " dst=0x0 len=16 = -1 EIO", j[3]);
    EXPECT_EQ("NVRAM_CACHE_INFO = -1 EFAULT", j[4]);
    EXPECT_EQ("EXT_INFO id=6 value=0x10 = 0", j[5]);
}

TEST(ModemSim, ChannelTableSharedByThreadsAndProcesses) {
    modem m;
    pid_t child = fork();
    if (child == 0) _exit(m.err(DMI_CREATE, &k_utran0));
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_EQ(0, WEXITSTATUS(status));
    EXPECT_EQ(EEXIST, m.err(DMI_CREATE, &k_utran0)); /* the child's channel is known here */

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
    EXPECT_EQ(9u, table.size()); /* utran0 and the eight odd channels */
    EXPECT_EQ(0, m.err(DMI_DELETE, "utran0"));
    EXPECT_EQ(27u, m.root.journal().size());
    for (const auto &line : m.root.journal()) EXPECT_NE(line.find(" = "), std::string::npos) << line;
}
