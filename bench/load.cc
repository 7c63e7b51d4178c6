/* Direct binary load: MiB/s for a large waveform binary placed into modem
 * memory by a load request through fwmd (a waveform directory without ini
 * files loads directly), from the send until the confirmation arrives.
 * Baseline: the same file read with plain read(2) calls into a shared
 * mapping of the same range of the same modem memory file.
 *
 * Modem memory is made 128 MiB so that the binary lands above the NVRAM
 * cache, in a range korv's mapping of the cache never touches. */
#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "bench.h"
#include "fwmd.h"
#include "kor_msg_cmd.h"

namespace kb {

static const uint32_t k_wf_id = 5;
static const uint64_t k_memory = 128ull << 20;
static const uint32_t k_dst = 64u << 20;
static const char k_dir[] = "/data/brimwell/wf_manager/waveform/LTEP2P/";
static const char k_name[] = "big.bin";

static bool make_binary(const std::string &path, size_t size)
{
    std::vector<uint64_t> words(size / 8);
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (uint64_t &w : words) {
        x = x * 6364136223846793005ull + 1442695040888963407ull;
        w = x;
    }
    return write_file(path, words.data(), size);
}

/* Spoils the first and last page of the destination, so that a load that
 * did not happen cannot pass for one. */
static bool spoil(const std::string &memory, size_t size)
{
    int fd = open(memory.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    std::vector<char> junk(4096, 'X');
    bool ok = pwrite(fd, junk.data(), junk.size(), k_dst) == 4096 &&
              pwrite(fd, junk.data(), junk.size(), k_dst + size - 4096) == 4096;
    close(fd);
    return ok;
}

/* The destination holds the binary (whole, or its first and last page). */
static bool landed(const std::string &memory, const std::string &bin, size_t size, bool whole)
{
    std::vector<char> a(1 << 20), b(1 << 20);
    for (size_t off = 0; off < size; off += a.size()) {
        size_t n = std::min(a.size(), size - off);
        if (!whole && off != 0 && off + n != size)
            continue;
        if (!read_at(memory, k_dst + off, a.data(), n) || !read_at(bin, off, b.data(), n) ||
            memcmp(a.data(), b.data(), n) != 0)
            return false;
    }
    return true;
}

static double korv_once(session &s, size_t size, std::string *why)
{
    fwmd_body b;
    b.u32(1).u32((uint32_t)size).u32(0).u32(k_dst).u32((uint32_t)size).u32(sizeof k_name);
    b.chars(k_name, sizeof k_name);
    fwmd_msg cnf;
    uint64_t t0 = now_ns();
    if (fwmd_send_cmd(s.fw, FWMD_NV, MWRX_WFMGR_LOAD_REQ, b, k_wf_id) != 0 ||
        fwmd_expect(s.fw, FWMD_NV, MWRX_WFMGR_LOAD_CNF, &cnf, 120000) != 0) {
        *why = "no load confirmation";
        return -1;
    }
    double secs = (double)(now_ns() - t0) / 1e9;
    if (fwmd_body_u32(cnf, 4) != size) {
        *why = fmt("confirmation counts %u bytes, not %zu", fwmd_body_u32(cnf, 4), size);
        return -1;
    }
    return secs;
}

static double baseline_once(const std::string &memory, const std::string &bin, size_t size,
                            std::string *why)
{
    uint64_t t0 = now_ns();
    int mfd = open(memory.c_str(), O_RDWR | O_CLOEXEC);
    int bfd = open(bin.c_str(), O_RDONLY | O_CLOEXEC);
    void *map = mfd < 0 ? MAP_FAILED : mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, mfd, k_dst);
    size_t got = 0;
    if (map != MAP_FAILED && bfd >= 0) {
        while (got < size) {
            ssize_t r = read(bfd, (char *)map + got, size - got);
            if (r <= 0)
                break;
            got += (size_t)r;
        }
        munmap(map, size);
    }
    if (bfd >= 0)
        close(bfd);
    if (mfd >= 0)
        close(mfd);
    double secs = (double)(now_ns() - t0) / 1e9;
    if (got != size) {
        *why = "baseline could not read the binary into the mapping";
        return -1;
    }
    return secs;
}

void figure_load(log_mode m)
{
    std::string name = "direct binary load (MiB/s)";
    size_t size = g_opt.smoke ? 4u << 20 : 64u << 20;
    int runs = g_opt.smoke ? 1 : 3;
    session s(m);
    if (!s.up(10000))
        return add_failure(name, m, "korv did not come up and connect");
    /* Grown under the running korv: its cache mapping lies below 64 MiB. */
    std::string memory = s.root.path("/dev/modem");
    std::string bin = s.root.path(std::string(k_dir) + k_name);
    if (truncate(memory.c_str(), (off_t)k_memory) != 0 || !make_binary(bin, size))
        return add_failure(name, m, "cannot prepare modem memory or the binary");
    if (!s.path_info(k_wf_id, "LTEP2P", k_dir, "nvram_ltep2p.bin"))
        return add_failure(name, m, "fwmd could not send the path record");
    std::string why;
    /* warm-up: the first writes allocate the sparse memory file's blocks */
    if (baseline_once(memory, bin, size, &why) < 0 || !spoil(memory, size) || korv_once(s, size, &why) < 0)
        return add_failure(name, m, why);
    if (!landed(memory, bin, size, true))
        return add_failure(name, m, "modem memory does not hold the binary after korv's load");
    std::vector<double> kr, br;
    double mib = (double)size / (1 << 20);
    for (int i = 0; i < runs; i++) {
        if (!spoil(memory, size))
            return add_failure(name, m, "cannot spoil the destination");
        double a = korv_once(s, size, &why);
        if (a < 0 || !landed(memory, bin, size, false))
            return add_failure(name, m, a < 0 ? why : "korv's load did not land");
        double b = baseline_once(memory, bin, size, &why);
        if (b < 0)
            return add_failure(name, m, why);
        kr.push_back(mib / a);
        br.push_back(mib / b);
    }
    double kv = median(kr), bv = median(br);
    add_row({name, log_name(m), fmt("%.0f", kv), fmt("%.0f", bv), fmt("%.2f", kv / bv), ">= 0.80",
             kv / bv >= 0.8 ? "met" : "MISSED"});
}

} // namespace kb
