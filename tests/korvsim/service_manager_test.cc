// The simulated init: rc parsing, restarts, crash loops and stopping, with
// small shell scripts standing in for korv.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"
#include "service_manager.h"

class ServiceManager : public ::testing::Test {
  protected:
    korvtest::sim_root root;
    std::mutex mu;
    std::string out; /* the manager's output */

    std::string script(const std::string &name, const std::string &body) {
        std::string path = root.dir + "/" + name;
        korvtest::write_file(path, "#!/bin/sh\n" + body);
        chmod(path.c_str(), 0755);
        return path;
    }
    /* `korv-sim run [ARGS] ROOT` with `fake` in korv's place, in a session of
     * its own; env entries ("NAME", "value") are set in it. */
    pid_t run_command(const std::string &fake, std::vector<const char *> args,
                      const std::vector<std::pair<const char *, const char *>> &env = {}) {
        pid_t pid = fork();
        if (pid == 0) {
            setsid();
            setenv("KORV_SIM_DAEMON", fake.c_str(), 1);
            for (const auto &e : env) setenv(e.first, e.second, 1);
            args.insert(args.begin(), {"korv-sim", "run"});
            args.push_back(root.dir.c_str());
            args.push_back(nullptr);
            execv(korvtest::bin_path("korv-sim").c_str(), const_cast<char *const *>(args.data()));
            _exit(127);
        }
        return pid;
    }
    /* SIGTERM to korv-sim; its wait status, or -1 when it did not end. */
    int stop_command(pid_t pid) {
        kill(pid, SIGTERM);
        int status = -1;
        return korvtest::wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 10000) ? status : -1;
    }
    bool has(const std::string &s) {
        std::lock_guard<std::mutex> g(mu);
        return out.find(s) != std::string::npos;
    }
    korvsim::supervisor_options options(const std::string &program) {
        korvsim::supervisor_options o;
        o.root = root.dir;
        o.service.name = "korv";
        o.service.argv = {"/system/bin/korv", "-m", "normal"};
        o.service.restart_period_ms = 0;
        o.out = [this](const std::string &line) {
            std::lock_guard<std::mutex> g(mu);
            out += line + "\n";
        };
        o.program = program;
        return o;
    }
};

/* Running: present and not a zombie waiting for its reaper. */
static bool alive(pid_t p) {
    std::string stat = korvtest::read_file("/proc/" + std::to_string(p) + "/stat");
    size_t at = stat.rfind(") ");
    return at != std::string::npos && stat[at + 2] != 'Z';
}

TEST_F(ServiceManager, ReadsKorvRc) {
    korvsim::service_def def;
    std::string err;
    ASSERT_EQ(0, korvsim::rc_load(root.path("/system/etc/init/korv.rc"), "korv", &def, &err)) << err;
    EXPECT_EQ((std::vector<std::string>{"/system/bin/korv", "-m", "normal"}), def.argv);
    EXPECT_EQ(1000, def.restart_period_ms);
    EXPECT_FALSE(def.oneshot);
    EXPECT_FALSE(def.critical) << "a burst of modem resets must not reboot the phone";
    ASSERT_EQ(1u, def.sockets.size());
    EXPECT_EQ("korv", def.sockets[0].name);
    EXPECT_EQ(0660u, def.sockets[0].mode);
    EXPECT_EQ("radio", def.sockets[0].group);
    EXPECT_EQ(-1, korvsim::rc_parse("service korv /x\n    socket korv dgram 0660\n", "korv", &def, &err));

    const char *rc = "service other /bin/x\n    oneshot\n    critical window=2\non boot\n"
                     "    restart_period 9\n"
                     "service korv /system/bin/korv\n    restart_period soon\n";
    EXPECT_EQ(-1, korvsim::rc_parse(rc, "korv", &def, &err));
    ASSERT_EQ(0, korvsim::rc_parse(rc, "other", &def, &err)) << err;
    EXPECT_TRUE(def.oneshot);
    EXPECT_EQ(120000, def.crash_window_ms);
    EXPECT_EQ(5000, def.restart_period_ms) << "an option of another section was taken";
}

TEST_F(ServiceManager, RestartsAKilledDaemonAndStopsItsGroup) {
    /* The fake leaves a child in its group and ignores SIGTERM, so only the
     * group kill can end the two. */
    auto o = options(script("fake.sh", "trap '' TERM\n"
                                       "echo \"fake up $* root=$KORV_ROOT log=$KORV_LOG_FILE\"\n"
                                       "sleep 1000 &\necho $! > \"$KORV_ROOT/child.pid\"\nwait\n"));
    o.grace_ms = 300;
    korvsim::supervisor sup(o);
    std::string err;
    ASSERT_EQ(0, sup.start(&err)) << err;
    ASSERT_TRUE(korvtest::wait_until([&] { return sup.pid() > 0; }, 5000));
    pid_t first = sup.pid();
    ASSERT_TRUE(korvtest::wait_until([&] { return has("fake up"); }, 5000));
    EXPECT_TRUE(has("korv| fake up -m normal root=" + root.dir + " log=" + root.dir + "/korv.log"));

    ASSERT_TRUE(korvtest::wait_until([&] { return !root.read("/child.pid").empty(); }, 5000));
    unlink(root.path("/child.pid").c_str());
    kill(-first, SIGKILL); /* the daemon and what it started */
    ASSERT_TRUE(korvtest::wait_until([&] { return sup.starts() == 2 && sup.pid() > 0; }, 5000));
    EXPECT_NE(first, sup.pid());
    EXPECT_TRUE(korvtest::wait_until([&] { return has("killed by signal 9"); }, 5000));
    ASSERT_TRUE(korvtest::wait_until([&] { return !root.read("/child.pid").empty(); }, 5000));
    pid_t child = std::stoi(root.read("/child.pid"));
    pid_t second = sup.pid();

    sup.stop();
    EXPECT_FALSE(alive(second));
    EXPECT_TRUE(korvtest::wait_until([&] { return !alive(child); }, 5000))
        << "the daemon's group outlived the stop";
    EXPECT_EQ(2, sup.starts());
    EXPECT_TRUE(sup.finished());
    EXPECT_FALSE(sup.crash_loop());
}

// The daemon inherits a socket bound at dev/socket/NAME, named in
// ANDROID_SOCKET_NAME; the file goes when the manager stops.
TEST_F(ServiceManager, HandsTheDeclaredSocketToTheDaemon) {
    auto o = options(script("sock.sh", "echo \"fd $ANDROID_SOCKET_korv is $(readlink /proc/$$/fd/$ANDROID_SOCKET_korv)\"\n"
                                       "exec sleep 1000\n"));
    o.service.sockets.push_back({"korv", 0640, "", ""});
    korvsim::supervisor sup(o);
    std::string err;
    ASSERT_EQ(0, sup.start(&err)) << err;
    ASSERT_TRUE(korvtest::wait_until([&] { return has("is socket:["); }, 5000)) << out;
    struct stat st;
    ASSERT_EQ(0, stat(root.path("/dev/socket/korv").c_str(), &st));
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(0640u, st.st_mode & 0777);
    sup.stop();
    EXPECT_FALSE(root.exists("/dev/socket/korv"));
}

TEST_F(ServiceManager, GivesUpOnACrashLoop) {
    auto o = options(script("crash.sh", "exit 3\n"));
    o.service.crash_limit = 3;
    o.service.crash_window_ms = 60000;
    korvsim::supervisor sup(o);
    ASSERT_EQ(0, sup.start(nullptr));
    ASSERT_TRUE(korvtest::wait_until([&] { return sup.finished(); }, 10000));
    EXPECT_TRUE(sup.crash_loop());
    EXPECT_EQ(4, sup.starts());
    EXPECT_EQ(4, sup.exits());
    EXPECT_TRUE(has("exited with status 3"));
    EXPECT_TRUE(has("crash loop"));
}

TEST_F(ServiceManager, RunCommandPassesEnvironmentAndStopsOnSigterm) {
    std::string fake = script("fake.sh", "trap 'echo term > \"$KORV_ROOT/term\"; exit 0' TERM\n"
                                         /* blocks unless the manager holds a writer */
                                         "exec 3<\"$KORV_ROOT/dev/socbridge\"\n"
                                         "echo \"ports $KORV_WORK_PORT $KORV_NV_PORT\" > \"$KORV_ROOT/env\"\n"
                                         "while :; do sleep 0.05; done\n");
    pid_t pid = run_command(fake, {}, {{"KORV_WORK_PORT", "18010"}, {"KORV_NV_PORT", "18020"}});
    ASSERT_TRUE(korvtest::wait_until([&] { return !root.read("/env").empty(); }, 10000));
    EXPECT_EQ("ports 18010 18020\n", root.read("/env"));
    int status = stop_command(pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ("term\n", root.read("/term"));
}

TEST_F(ServiceManager, RunAsUserHandsTheRootToThatUser) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root (korv-sim run --user)";
    std::string fake = script("fake.sh", "trap 'exit 0' TERM\n"
                                         "exec 3<\"$KORV_ROOT/dev/socbridge\"\n"
                                         "f=\"$KORV_ROOT/data/brimwell/nvram/nvram_sysconfig_ma.bin\"\n"
                                         "[ -w \"$f\" ] && w=writable || w=read-only\n"
                                         "echo \"$(id -u) $(id -G) $w\" > \"$KORV_ROOT/who\"\n"
                                         "while :; do sleep 0.05; done\n");
    pid_t pid = run_command(fake, {"--user", "nobody"});
    ASSERT_TRUE(korvtest::wait_until([&] { return !root.read("/who").empty(); }, 10000));
    EXPECT_EQ("65534 65534 writable\n", root.read("/who"));
    int status = stop_command(pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}
