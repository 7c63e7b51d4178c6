// The adapter's OS, file and seam services, driven through their C calls:
// queues, threads, logging, the fault hook and the device-path mapping.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "harness.h"
#include "kor_os.h"
#include "kor_platform.h"

namespace {

// KORV_ROOT is read once per process, so every case runs below this root,
// made before any case starts and removed at exit.
const korvtest::sim_root g_root(false);
const std::string &R = g_root.dir;
[[maybe_unused]] const bool g_root_set = [] {
    setenv("KORV_ROOT", g_root.dir.c_str(), 1);
    std::filesystem::create_directories(g_root.dir + "/data");
    std::filesystem::create_directories(g_root.dir + "/dev");
    return true;
}();

// One letter of /proc/self/task/TID/stat ('S' sleeping), or 0 when gone.
char task_state(pid_t tid) {
    std::string stat = korvtest::read_file("/proc/self/task/" + std::to_string(tid) + "/stat");
    size_t paren = stat.rfind(')');
    return paren == std::string::npos || paren + 2 >= stat.size() ? 0 : stat[paren + 2];
}

void *msg_of(uintptr_t v) { return reinterpret_cast<void *>(v); }

// Sends the adapter's log to path, through the flusher when batch is set.
void log_to(const std::string &path, bool batch) {
    setenv("KORV_LOG_FILE", path.c_str(), 1);
    tp_os_log_init(0);
    if (batch) {
        ASSERT_EQ(tp_os_log_batch_start(), 0);
    }
}
// Back to standard error: the switch drains what the flusher still holds.
void log_back() {
    unsetenv("KORV_LOG_FILE");
    tp_os_log_init(0);
}

TEST(AdapterQueue, BoundedFifoBlocksSenderWhileFull) {
    ASSERT_EQ(tp_os_queue_init(), 0);
    uint64_t q = tp_os_queue_create("test_q", 8, 1000);
    ASSERT_NE(q, KOR_OS_FAIL);
    for (uintptr_t i = 1; i <= 1000; i++) ASSERT_EQ(tp_os_queue_send(q, msg_of(i), 0), 0);
    EXPECT_EQ(tp_os_queue_send(q, msg_of(1001), 0), -1);  // full: no wait asked, none given

    std::atomic<bool> sent{false};
    std::thread sender([&] { sent = tp_os_queue_send(q, msg_of(1001), KOR_OS_WAIT_FOREVER) == 0; });
    usleep(100 * 1000);  // a send that did not block would be done by now
    EXPECT_FALSE(sent);
    void *msg = nullptr;
    for (uintptr_t i = 1; i <= 1001; i++) {
        ASSERT_EQ(tp_os_queue_receive(q, &msg, i == 1 ? KOR_OS_WAIT_FOREVER : 0), 0);
        ASSERT_EQ(msg, msg_of(i));
        if (i == 1) sender.join();  // the receive let the blocked send through
    }
    EXPECT_TRUE(sent);
    EXPECT_EQ(tp_os_queue_receive(q, &msg, 20), -1);
    EXPECT_EQ(tp_os_queue_delete(q), 0);
    EXPECT_EQ(tp_os_queue_send(q, msg_of(1), 0), -1);
}

struct receiver_ctx {
    uint64_t q;
    std::atomic<pid_t> tid{0};
    std::atomic<bool> returned{false};
};

void *blocked_receiver(void *arg) {
    auto *ctx = (receiver_ctx *)arg;
    ctx->tid = gettid();
    void *msg;
    tp_os_queue_receive(ctx->q, &msg, KOR_OS_WAIT_FOREVER);
    ctx->returned = true;
    return nullptr;
}

TEST(AdapterThread, DeletedWhileBlockedItEndsAndLeavesTheQueueUsable) {
    receiver_ctx ctx;
    ctx.q = tp_os_queue_create("cancel_q", 8, 4);
    ASSERT_NE(ctx.q, KOR_OS_FAIL);
    uint64_t t = tp_os_thread_create("korv_long_thread_name", blocked_receiver, -64, 1, &ctx);
    ASSERT_NE(t, KOR_OS_FAIL);
    ASSERT_TRUE(korvtest::wait_until([&] { return ctx.tid != 0 && task_state(ctx.tid) == 'S'; }, 5000));
    EXPECT_EQ(korvtest::read_file("/proc/self/task/" + std::to_string(ctx.tid) + "/comm"), "korv_long_threa\n");

    EXPECT_EQ(tp_os_thread_delete(t), 0);
    EXPECT_TRUE(korvtest::wait_until([&] { return task_state(ctx.tid) == 0; }, 5000));
    EXPECT_FALSE(ctx.returned);
    EXPECT_EQ(tp_os_thread_delete(t), -1);

    // A leaked queue lock or waiter count would hang these calls.
    void *msg = nullptr;
    EXPECT_EQ(tp_os_queue_send(ctx.q, msg_of(7), 0), 0);
    EXPECT_EQ(tp_os_queue_receive(ctx.q, &msg, 0), 0);
    EXPECT_EQ(msg, msg_of(7));
    EXPECT_EQ(tp_os_queue_delete(ctx.q), 0);
}

TEST(AdapterLog, LinesStayWholeAndFollowTheFormat) {
    std::string path = R + "/korv.log";
    log_to(path, false);
    tp_os_str_printf(3, 2, "error %d\n", 42);
    tp_os_str_printf(8, 8, "no newline");
    tp_os_str_printf(4, 5, "%s", "");
    tp_os_str_printf(1, 8, "%s", std::string(5000, 'x').c_str());
    const int threads = 4, per_thread = 200;
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; t++)
        pool.emplace_back([t] {
            std::string pad(300, (char)('a' + t));
            for (int i = 0; i < per_thread; i++) tp_os_str_printf(3, 8, "T%d %d %s\n", t, i, pad.c_str());
        });
    for (auto &th : pool) th.join();
    log_back();

    std::string text = korvtest::read_file(path);
    EXPECT_EQ(text.find("\n\n"), std::string::npos);
    auto lines = korvtest::split_lines(text);
    ASSERT_EQ(lines.size(), 4u + threads * per_thread);
    auto cut = std::find_if(lines.begin(), lines.end(),
                            [](const std::string &l) { return l.find(std::string(100, 'x')) != std::string::npos; });
    ASSERT_NE(cut, lines.end());
    EXPECT_EQ(cut->size() + 1, 4096u);  // cut, newline kept
    // "PID TID L M:TEXT" of each line, the time stamp's form checked.
    std::regex form(R"(^\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (\d+ \d+ \S+ \d+): (.*)$)");
    std::smatch m;
    const std::string me = std::to_string(getpid()) + " " + std::to_string(gettid());
    const std::string head[] = {me + " E 3:error 42", me + " D 8:no newline", me + " 5 4:",
                                me + " D 1:" + std::string(4096 - 1 - cut->find(": ") - 2, 'x')};
    int next[threads] = {0};  // each thread's lines, whole and in its order
    size_t mine = 0;           // this thread's lines, which the others may pass
    for (size_t i = 0; i < lines.size(); i++) {
        ASSERT_TRUE(std::regex_match(lines[i], m, form)) << lines[i];
        if (m[1].str().rfind(me + " ", 0) == 0) {
            ASSERT_LT(mine, 4u);
            EXPECT_EQ(m[1].str() + ":" + m[2].str(), head[mine++]);
            continue;
        }
        int t = m[2].str()[1] - '0';
        ASSERT_TRUE(t >= 0 && t < threads) << lines[i];
        ASSERT_EQ(m[2].str(), "T" + std::to_string(t) + " " + std::to_string(next[t]++) + " " + std::string(300, 'a' + t));
    }
    for (int t = 0; t < threads; t++) EXPECT_EQ(next[t], per_thread);
    EXPECT_EQ(mine, 4u);
}

// Enough threads and lines of varying length that every thread's buffer
// wraps and fills many times over while the others write: its lines must
// still come out whole and in its order, none lost, none twice.
TEST(AdapterLog, ManyThreadsUnderLoadKeepWholeLinesInTheirOrder) {
    std::string path = R + "/load.log";
    log_to(path, true);
    const int threads = 12, per_thread = 4000;
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; t++)
        pool.emplace_back([t] {
            for (int i = 0; i < per_thread; i++)
                tp_os_str_printf(3, 8, "L%02d %d %s\n", t, i, std::string(i * 37 % 900, 'a' + t).c_str());
        });
    for (auto &th : pool) th.join();
    log_back();

    auto lines = korvtest::split_lines(korvtest::read_file(path));
    ASSERT_EQ(lines.size(), (size_t)threads * per_thread);
    std::regex form(R"(^\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \d+ \d+ D 3: L(\d\d) (\d+) ([a-z]*)$)");
    std::smatch m;
    std::vector<int> next(threads, 0);
    for (const auto &line : lines) {
        ASSERT_TRUE(std::regex_match(line, m, form)) << line;
        int t = std::stoi(m[1].str()), i = std::stoi(m[2].str());
        ASSERT_LT(t, threads);
        ASSERT_EQ(i, next[t]++) << "thread " << t;
        ASSERT_EQ(m[3].str(), std::string(i * 37 % 900, 'a' + t));
    }
}

// A line leaves for the sink on its own while the thread that made it keeps
// working and logs nothing more; the bound here is generous on purpose.
TEST(AdapterLog, LineOfABusyThreadReachesTheSinkSoon) {
    std::string path = R + "/busy.log";
    log_to(path, true);
    std::atomic<bool> stop{false};
    std::thread busy([&] {
        tp_os_str_printf(3, 8, "busy thread marker\n");
        while (!stop.load()) {
        }
    });
    bool seen = korvtest::wait_until(
        [&] { return korvtest::read_file(path).find("busy thread marker") != std::string::npos; }, 2000);
    stop = true;
    busy.join();
    log_back();
    EXPECT_TRUE(seen);
}

// Lines reach the file in the order they were made, across threads: a
// token passed round a ring of threads (each line made after the previous
// holder's line, by a thread that line's holder woke), and a chain of
// threads each started right after its parent's line, while other threads
// fill their buffers with long lines so that every ring wraps and producers
// drain themselves.
TEST(AdapterLog, LinesCausallyAfterAnotherThreadsLineComeAfterItInTheFile) {
    std::string path = R + "/order.log";
    log_to(path, true);
    const int ring = 6, passes = 3000, chain = 40, noisy = 2;
    std::atomic<bool> stop{false};
    std::vector<std::thread> noise;
    for (int t = 0; t < noisy; t++)
        noise.emplace_back([&, t] {
            std::string pad(700, 'n');
            for (int i = 0; !stop.load(); i++) {
                tp_os_str_printf(3, 8, "noise %d %d %s\n", t, i, pad.c_str());
                if (i % 64 == 0) std::this_thread::yield();
            }
        });
    std::mutex lock;
    std::condition_variable passed;
    int token = 0;
    std::vector<std::thread> holders;
    for (int t = 0; t < ring; t++)
        holders.emplace_back([&, t] {
            for (int n = t; n < passes; n += ring) {
                std::unique_lock<std::mutex> hold(lock);
                passed.wait(hold, [&] { return token == n; });
                tp_os_str_printf(3, 8, "token %d\n", n);
                token = n + 1;
                passed.notify_all();
            }
        });
    std::function<void(int)> spawn = [&](int k) {
        tp_os_str_printf(3, 8, "chain %d\n", k);
        if (k + 1 < chain) std::thread(spawn, k + 1).join();
    };
    std::thread first(spawn, 0);
    for (auto &th : holders) th.join();
    first.join();
    stop = true;
    for (auto &th : noise) th.join();
    log_back();

    int next_token = 0, next_link = 0;
    for (const auto &line : korvtest::split_lines(korvtest::read_file(path))) {
        size_t at = line.find(": ");
        ASSERT_NE(at, std::string::npos) << line;
        std::string text = line.substr(at + 2);
        if (text.rfind("token ", 0) == 0) {
            ASSERT_EQ(text, "token " + std::to_string(next_token++));
        } else if (text.rfind("chain ", 0) == 0) {
            ASSERT_EQ(text, "chain " + std::to_string(next_link++));
        }
    }
    EXPECT_EQ(next_token, passes);
    EXPECT_EQ(next_link, chain);
}

// A sink that refuses every write (a full disk): the lines are counted as
// dropped, each exactly once, and a thread that fills its buffer many times
// over neither waits for the disk nor loses count.
TEST(AdapterLog, FullSinkDropsLinesCountedAndNeverPutsTheProducerToSleep) {
    log_to("/dev/full", true);
    uint64_t dropped = tp_os_log_dropped_lines(), failed = tp_os_log_failed_writes();
    const int lines = 20000;  // about 60 times the buffer of a thread
    long waits = -1;
    std::thread producer([&] {
        struct rusage before, after;
        getrusage(RUSAGE_THREAD, &before);
        for (int i = 0; i < lines; i++) tp_os_str_printf(3, 8, "full %d %s\n", i, std::string(150, 'f').c_str());
        getrusage(RUSAGE_THREAD, &after);
        waits = after.ru_nvcsw - before.ru_nvcsw;
    });
    producer.join();
    log_back();  // drains what the flusher still holds into the full sink
    EXPECT_EQ(tp_os_log_dropped_lines() - dropped, (uint64_t)lines);
    EXPECT_GT(tp_os_log_failed_writes(), failed);
    // Two 1 ms waits per refused write (the way it was) make well over a
    // hundred for these lines; a producer that never waits for the disk
    // makes a few at most (another thread's drain, the odd page fault).
    EXPECT_LT(waits, 50) << "voluntary context switches of the producer";
}

// A log file system that fills up and clears again: the flusher keeps the
// lines it could not write and writes them, in their order, once there is
// room; none is counted as dropped.
TEST(AdapterLog, LinesRefusedByAFullDiskReachTheFileOnceItHasRoom) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root (a small tmpfs mount)";
    std::string dir = R + "/logfs";
    std::filesystem::create_directories(dir);
    ASSERT_EQ(system(("mount -t tmpfs -o size=64k tmpfs " + dir).c_str()), 0);
    struct unmount {
        std::string dir;
        ~unmount() { (void)system(("umount -l " + dir).c_str()); }
    } unmount_at_end{dir};
    std::string path = dir + "/korv.log";
    log_to(path, true);
    (void)system(("dd if=/dev/zero of=" + dir + "/filler bs=4k >/dev/null 2>&1").c_str());
    uint64_t dropped = tp_os_log_dropped_lines(), failed = tp_os_log_failed_writes();
    for (int i = 0; i < 10; i++) tp_os_str_printf(3, 8, "kept %d\n", i);
    ASSERT_TRUE(korvtest::wait_until([&] { return tp_os_log_failed_writes() > failed + 1; }, 5000))
        << "the flusher tried, and tried again";
    EXPECT_EQ(korvtest::read_file(path), "");
    ASSERT_EQ(unlink((dir + "/filler").c_str()), 0);
    std::vector<std::string> texts;
    ASSERT_TRUE(korvtest::wait_until(
        [&] {
            texts.clear();
            for (const auto &line : korvtest::split_lines(korvtest::read_file(path)))
                texts.push_back(line.substr(line.find(": ") + 2));
            return texts.size() >= 10;
        },
        5000));
    log_back();
    std::vector<std::string> want;
    for (int i = 0; i < 10; i++) want.push_back("kept " + std::to_string(i));
    EXPECT_EQ(texts, want);
    EXPECT_EQ(tp_os_log_dropped_lines(), dropped);
}

void *idle_entry(void *) { return nullptr; }

TEST(AdapterFault, NamedCreationsFailUntilCleared) {
    kor_fault_set("mutex:m_bad, queue:q_bad,thread:t_bad");
    EXPECT_EQ(tp_os_mutex_create("m_bad", 1), KOR_OS_FAIL);
    EXPECT_EQ(tp_os_queue_create("q_bad", 8, 10), KOR_OS_FAIL);
    EXPECT_EQ(tp_os_thread_create("t_bad", idle_entry, -64, 1, nullptr), KOR_OS_FAIL);
    uint64_t near = tp_os_mutex_create("m_ba", 1);  // names match whole
    EXPECT_NE(near, KOR_OS_FAIL);
    EXPECT_NE((uint32_t)near, 0xFFFFFFFFu);
    kor_fault_set(nullptr);
    uint64_t m = tp_os_mutex_create("m_bad", 1);
    EXPECT_NE(m, KOR_OS_FAIL);
    EXPECT_EQ(tp_os_mutex_delete(m), 0);
    EXPECT_EQ(tp_os_mutex_delete(m), -1);
}

TEST(AdapterFault, EnvironmentIsReadAtFirstCreation) {
    if (getenv("KORV_FAULT") != nullptr) {  // the child below
        EXPECT_EQ(tp_os_queue_create("NV_Q", 8, 1000), KOR_OS_FAIL);
        EXPECT_NE(tp_os_mutex_create("nvram_da_mutex", 1), KOR_OS_FAIL);
        return;
    }
    std::string out;
    int rc = korvtest::run_tool({"/proc/self/exe", "--gtest_filter=AdapterFault.EnvironmentIsReadAtFirstCreation"},
                                &out, {"KORV_FAULT=queue:NV_Q"});
    EXPECT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("[  PASSED  ] 1 test"), std::string::npos) << out;
}

std::string mapped(const char *path) {
    char out[KOR_PATH_MAX];
    return kor_path_map(path, out, sizeof out) == 0 ? out : "<error>";
}

// Paths, shell commands and ioctls of the seam: device paths taken below the
// root, other paths and descriptors left to the kernel.
TEST(AdapterSeam, DevicePathsCommandsAndModemIoctlsGoBelowTheRoot) {
    ASSERT_STREQ(kor_root(), R.c_str());
    EXPECT_EQ(mapped("/dev/modem"), R + "/dev/modem");
    for (const char *kept : {"/dev/ptmx", "/dev/pts/3", "rel/x"}) EXPECT_EQ(mapped(kept), kept);
    char small[8];
    errno = 0;
    EXPECT_EQ(kor_path_map("/dev/modem", small, sizeof small), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);

    FILE *f = tp_fopen("/data/f.bin", "w");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(tp_fwrite("abc", 1, 3, f), 3u);
    EXPECT_EQ(tp_fclose(f), 0);
    EXPECT_EQ(korvtest::read_file(R + "/data/f.bin"), "abc");
    EXPECT_EQ(tp_fexist("/data/f.bin"), 0);
    EXPECT_NE(tp_fexist("/data/none"), 0);

    ASSERT_EQ(kor_symlink("/dev/pts/9", "/data/link"), 0);
    EXPECT_EQ(std::filesystem::read_symlink(R + "/data/link").string(), "/dev/pts/9");
    EXPECT_EQ(kor_unlink("/data/link"), 0);
    EXPECT_NE(tp_fexist("/data/link"), 0);
    if (geteuid() != 0) {  // the phone's ids are accepted, others refused
        EXPECT_EQ(kor_chown("/data/f.bin", 1000, 1001), 0);
        errno = 0;
        EXPECT_EQ(kor_chown("/data/f.bin", 4242, 4242), -1);
        EXPECT_EQ(errno, EPERM);
    }

    // kor_system maps whole device words only.
    ASSERT_EQ(kor_system("printf '%s\\n' /data/a /system/b  /sys/c\t/dev/d /dev/ptmx /dev/pts/1 /datax "
                         "/usr/bin rel > /data/words.txt"),
              0);
    std::vector<std::string> want = {R + "/data/a", R + "/system/b", R + "/sys/c", R + "/dev/d", "/dev/ptmx",
                                     "/dev/pts/1",  "/datax",        "/usr/bin",   "rel"};
    EXPECT_EQ(korvtest::split_lines(korvtest::read_file(R + "/data/words.txt")), want);

    // An ioctl on the modem reaches the simulated driver.
    korvtest::write_file(R + "/dev/modem", std::string(4096, '\0'));
    int modem = kor_open("/dev/modem", O_RDWR), p[2], avail = 0;
    ASSERT_GE(modem, 0);
    EXPECT_EQ(kor_ioctl(modem, 0x4D03, nullptr), 0);
    close(modem);
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(write(p[1], "xyz", 3), 3);
    EXPECT_EQ(kor_ioctl(p[0], FIONREAD, &avail), 0);  // other descriptors go to the kernel
    EXPECT_EQ(avail, 3);
    close(p[0]);
    close(p[1]);
    EXPECT_EQ(korvtest::split_lines(korvtest::read_file(R + "/dev/modem.log")), std::vector<std::string>{"RESET = 0"});
}

}  // namespace
