// The simulated init: rc parsing, init's restart rule for plain and critical
// services, the order and wording of what it says, stopping, and running
// korv as another user, with small shell scripts standing in for korv.
#include <grp.h>
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
    EXPECT_EQ(240000, def.crash_window_ms) << "init's window for a critical service";
    EXPECT_EQ(4, def.crash_limit);
    ASSERT_EQ(1u, def.sockets.size());
    EXPECT_EQ("korv", def.sockets[0].name);
    EXPECT_EQ(0660u, def.sockets[0].mode);
    EXPECT_EQ("radio", def.sockets[0].group);
    EXPECT_EQ(-1, korvsim::rc_parse("service korv /x\n    socket korv dgram 0660\n", "korv", &def, &err));

    const char *rc = "service other /bin/x\n    oneshot\n    critical window=2 target=recovery\non boot\n"
                     "    restart_period 9\n"
                     "service korv /system/bin/korv\n    restart_period soon\n";
    EXPECT_EQ(-1, korvsim::rc_parse(rc, "korv", &def, &err));
    ASSERT_EQ(0, korvsim::rc_parse(rc, "other", &def, &err)) << err;
    EXPECT_TRUE(def.oneshot);
    EXPECT_TRUE(def.critical);
    EXPECT_EQ(120000, def.crash_window_ms);
    EXPECT_EQ("recovery", def.reboot_target);
    EXPECT_EQ(5000, def.restart_period_ms) << "an option of another section was taken";
}

/* The daemon inherits a socket bound at dev/socket/NAME, named in
 * ANDROID_SOCKET_NAME; the file goes when the manager stops. */
TEST_F(ServiceManager, RestartsAKilledDaemonHandsItTheSocketAndStopsItsGroup) {
    /* The fake leaves a child in its group and ignores SIGTERM, so only the
     * group kill can end the two. */
    auto o = options(script("fake.sh", "trap '' TERM\n"
                                       "echo \"fake up $* root=$KORV_ROOT log=$KORV_LOG_FILE\"\n"
                                       "echo \"fd $ANDROID_SOCKET_korv is $(readlink /proc/$$/fd/$ANDROID_SOCKET_korv)\"\n"
                                       "sleep 1000 &\necho $! > \"$KORV_ROOT/child.pid\"\nwait\n"));
    o.grace_ms = 300;
    o.service.sockets.push_back({"korv", 0640, "", ""});
    korvsim::supervisor sup(o);
    std::string err;
    ASSERT_EQ(0, sup.start(&err)) << err;
    ASSERT_TRUE(korvtest::wait_until([&] { return sup.pid() > 0; }, 5000));
    pid_t first = sup.pid();
    ASSERT_TRUE(korvtest::wait_until([&] { return has("fake up") && has("is socket:["); }, 5000)) << out;
    EXPECT_TRUE(has("korv| fake up -m normal root=" + root.dir + " log=" + root.dir + "/korv.log"));
    struct stat st;
    ASSERT_EQ(0, stat(root.path("/dev/socket/korv").c_str(), &st));
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(0640u, st.st_mode & 0777);

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
    EXPECT_FALSE(root.exists("/dev/socket/korv")) << "the socket file outlived the stop";
}

/* init's rule, read from rc lines: a service that is not critical comes back
 * after every exit, however many a minute; a critical one is restarted until
 * it has crashed more than four times within its window, where init would
 * reboot the phone, and the manager says so and stops. */
TEST_F(ServiceManager, RestartsAsInitDoesForPlainAndCriticalServices) {
    std::string crash = script("crash.sh", "echo \"crash $$\"\nexit 3\n");
    auto o = options(crash);
    std::string err;
    ASSERT_EQ(0, korvsim::rc_parse("service korv /system/bin/korv\n    restart_period 0\n", "korv", &o.service, &err));
    {
        korvsim::supervisor sup(o);
        ASSERT_EQ(0, sup.start(&err)) << err;
        EXPECT_TRUE(korvtest::wait_until([&] { return sup.exits() >= 8; }, 20000)) << out;
        EXPECT_FALSE(sup.finished()) << out;
        EXPECT_FALSE(sup.crash_loop());
        sup.stop();
    }
    EXPECT_TRUE(has("korv-sim: korv exited with status 3\n"));
    EXPECT_TRUE(has("restarting korv (start 9)")) << out;
    EXPECT_FALSE(has("not restarting")) << out;
    EXPECT_FALSE(has("reboot")) << out;

    out.clear();
    ASSERT_EQ(0, korvsim::rc_parse("service korv /system/bin/korv\n    restart_period 0\n    critical\n", "korv",
                                   &o.service, &err));
    korvsim::supervisor sup(o);
    ASSERT_EQ(0, sup.start(&err)) << err;
    ASSERT_TRUE(korvtest::wait_until([&] { return sup.finished(); }, 20000)) << out;
    EXPECT_TRUE(sup.crash_loop());
    EXPECT_EQ(5, sup.starts()) << "four crashes are allowed, the fifth reboots";
    EXPECT_TRUE(has("critical service korv exited 5 times within 4 min: init would now reboot the phone into "
                    "bootloader; not restarting"))
        << out;
    EXPECT_FALSE(has("restarting korv (start 6)")) << out;
}

/* Status 127 comes from the child that could not exec korv: a crash it is
 * not.  The daemon's last lines come before what the manager says of its
 * end, exit after exit. */
TEST_F(ServiceManager, NamesAFailedExecAndKeepsTheDaemonsLastLinesFirst) {
    auto o = options(script("noexec.sh", "")); /* "#!/bin/sh" replaced below */
    korvtest::write_file(o.program, "#!/nonexistent/interpreter\n");
    {
        korvsim::supervisor sup(o);
        ASSERT_EQ(0, sup.start(nullptr));
        ASSERT_TRUE(korvtest::wait_until([&] { return has("could not execute"); }, 10000)) << out;
        sup.stop();
    }
    EXPECT_TRUE(has("korv-sim: korv could not execute " + o.program + " (status 127)")) << out;
    EXPECT_FALSE(has("exited with status 127")) << out;

    out.clear();
    o = options(script("bye.sh", "i=0\nwhile [ $i -lt 20 ]; do echo \"work $$ $i\"; i=$((i+1)); done\n"
                                 "echo \"last words $$\"\nexit 0\n"));
    korvsim::supervisor sup(o);
    ASSERT_EQ(0, sup.start(nullptr));
    ASSERT_TRUE(korvtest::wait_until([&] { return sup.exits() >= 6; }, 20000)) << out;
    sup.stop();
    std::lock_guard<std::mutex> g(mu);
    int last_words = 0, exited = 0;
    for (const auto &line : korvtest::split_lines(out)) {
        if (line.rfind("korv| last words ", 0) == 0) last_words++;
        if (line == "korv-sim: korv exited with status 0") {
            exited++;
            EXPECT_EQ(exited, last_words) << "exit " << exited << " reported before its last line\n" << out;
        }
    }
    EXPECT_GE(exited, 6);
}

/* Megabytes of log ahead of the forwarder are passed on whole and in order,
 * in about the time they take to print (each line cut from the front of the
 * backlog took minutes), and a stop is not held up by them. */
TEST_F(ServiceManager, ForwardsALongBacklogWholeAndStops) {
    const int lines = 100000;
    auto o = options(script("chatty.sh", "seq -f 'line %06g of a long backlog ..........................................'"
                                         " 1 " + std::to_string(lines) + "\nexec sleep 1000\n"));
    int got = 0;
    std::string last;
    o.out = [&](const std::string &line) {
        std::lock_guard<std::mutex> g(mu);
        if (line.rfind("korv| line ", 0) != 0) return;
        got++;
        last = line;
    };
    korvsim::supervisor sup(o);
    ASSERT_EQ(0, sup.start(nullptr));
    EXPECT_TRUE(korvtest::wait_until([&] { std::lock_guard<std::mutex> g(mu); return got == lines; }, 60000)) << got;
    sup.stop();
    std::lock_guard<std::mutex> g(mu);
    EXPECT_EQ(lines, got);
    EXPECT_EQ("korv| line 100000 of a long backlog ..........................................", last);
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
    /* korv.rc gives the control socket to radio, which this machine may
     * lack: then it goes to the group korv runs in, so that korv's user can
     * use korvctl as radio's members can on the phone. */
    struct stat st;
    ASSERT_EQ(0, stat(root.path("/dev/socket/korv").c_str(), &st));
    const group *radio = getgrnam("radio");
    EXPECT_EQ(radio ? radio->gr_gid : 65534u, st.st_gid);
    EXPECT_EQ(0660u, st.st_mode & 0777);
    int status = stop_command(pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

/* --user asked for a user who cannot reach korv: refused at once, the root
 * untouched, with the folder that stops it and what to change. */
TEST_F(ServiceManager, RunAsUserRefusesAUserWhoCannotReachKorv) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root (korv-sim run --user)";
    korvtest::sim_root closed(false); /* mkdtemp: 0700, root's */
    std::string fake = closed.dir + "/korv";
    korvtest::write_file(fake, "#!/bin/sh\necho started > \"$KORV_ROOT/started\"\nexec sleep 1000\n");
    chmod(fake.c_str(), 0755);
    std::string out;
    int rc = korvtest::run_tool({"/bin/sh", "-c", "exec \"$0\" run --user nobody \"$1\" 2>&1",
                                 korvtest::bin_path("korv-sim"), root.dir},
                                &out, {"KORV_SIM_DAEMON=" + fake}, 10000);
    EXPECT_EQ(1, rc) << out;
    EXPECT_NE(std::string::npos, out.find("korv cannot run as nobody: uid 65534 cannot enter " + closed.dir +
                                          " (mode 0700) on the way to " + fake))
        << out;
    EXPECT_NE(std::string::npos, out.find("chmod o+x")) << out;
    EXPECT_FALSE(root.exists("/started"));
    struct stat st;
    ASSERT_EQ(0, stat(root.path("/dev/modem").c_str(), &st));
    EXPECT_EQ(0u, st.st_uid) << "the root was handed over before the refusal";
}
