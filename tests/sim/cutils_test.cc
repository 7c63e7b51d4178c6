// Property store, init control properties, libwcs and the amt helper.  The
// store's root is read once per process, so every case shares one root.
#include <dlfcn.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <mutex>

#include <gtest/gtest.h>

#include "cutils/properties.h"
#include "harness.h"
#include "wcs.h"

namespace {

// Made before any case starts and removed at exit.
const korvtest::sim_root g_root;
[[maybe_unused]] const bool g_env = setenv("KORV_ROOT", g_root.dir.c_str(), 1) == 0 &&
                                    setenv("KORV_LOG_FILE", (g_root.dir + "/test.log").c_str(), 1) == 0;

std::string get(const char *name, const char *def = "") {
    char value[PROPERTY_VALUE_MAX];
    int n = property_get(name, value, def);
    EXPECT_EQ(static_cast<int>(strlen(value)), n);
    return value;
}

}  // namespace

TEST(Properties, SetGetLimitsNamesAndControlProperties) {
    EXPECT_EQ("dflt", get("t.absent", "dflt"));
    EXPECT_EQ(0, property_set("t.a", "hello"));
    EXPECT_EQ("hello", g_root.prop("t.a"));
    EXPECT_EQ("hello", get("t.a", "dflt"));
    EXPECT_EQ(0, property_set("t.a", ""));
    EXPECT_EQ("", get("t.a", "dflt"));  // an empty value is a value

    std::string v91(91, 'x'), v92(92, 'y');
    EXPECT_EQ(0, property_set("t.long", v91.c_str()));
    EXPECT_EQ(v91, get("t.long"));
    EXPECT_EQ(-1, property_set("t.long", v92.c_str()));
    EXPECT_EQ(v91, get("t.long"));
    g_root.set_prop("t.written", v92);  // written by hand: read up to 91
    EXPECT_EQ(v92.substr(0, 91), get("t.written"));

    for (const char *bad : {"", "a/b", "..", "x..y", ".hidden"}) {
        EXPECT_EQ(-1, property_set(bad, "1")) << bad;
        EXPECT_EQ("d", get(bad, "d")) << bad;
    }
    EXPECT_EQ(-1, property_set("t.null", nullptr));

    // ctl.* names are init's controls: they drive services, not the store.
    const char *const steps[][3] = {{"ctl.start", "waveform-manager", "running"},
                                    {"ctl.stop", "waveform-manager", "stopped"},
                                    {"ctl.restart", "mwrx-amt", "running"}};
    std::vector<std::string> want;
    for (const auto &s : steps) {
        EXPECT_EQ(0, property_set(s[0], s[1]));
        EXPECT_EQ(s[2], get(("init.svc." + std::string(s[1])).c_str()));
        want.push_back(std::string(s[0]) + " " + s[1]);
    }
    for (const auto &bad : {std::pair{"ctl.start", ""}, {"ctl.start", "../x"}, {"ctl.bogus", "x"}})
        EXPECT_EQ(-1, property_set(bad.first, bad.second)) << bad.first << " " << bad.second;
    EXPECT_EQ(want, g_root.ctl_log());
    EXPECT_FALSE(g_root.exists("/dev/__properties__/ctl.start"));
}

TEST(Properties, OtherProcessesSeeWholeValues) {
    const std::string a(91, 'a'), b(60, 'b');
    ASSERT_EQ(0, property_set("t.shared", a.c_str()));
    pid_t child = fork();
    if (child == 0) {
        bool seen = get("t.shared") == a;
        for (int i = 0; i < 300; i++) property_set("t.shared", (i % 2 ? a : b).c_str());
        property_set("t.child", seen ? "saw-parent" : "missed");
        _exit(0);
    }
    int torn = 0;
    while (waitpid(child, nullptr, WNOHANG) == 0) {
        std::string v = get("t.shared");
        torn += v != a && v != b;
    }
    EXPECT_EQ(0, torn);
    EXPECT_EQ("saw-parent", get("t.child"));
}

namespace {

// Each call of the table as "op name type maxsize", and whether it came from
// the test's own thread.
std::mutex g_calls_mu;
std::vector<std::string> g_calls;
bool g_on_test_thread = false;
pthread_t g_test_thread;

int record(const char *op, const char *name, const dmi_channel *d) {
    std::lock_guard<std::mutex> g(g_calls_mu);
    g_calls.push_back(std::string(op) + " " + name +
                      (d ? " " + std::to_string(d->type) + " " + std::to_string(d->cp2ap_pkt_maxsize) : ""));
    g_on_test_thread |= pthread_equal(pthread_self(), g_test_thread);
    return 0;
}
int fake_create(dmi_channel *d) { return record("create", d->name, d); }
int fake_hs_create(dmi_channel *d) { return record("hs_create", d->name, d); }
int fake_delete(const char *name) { return record("delete", name, nullptr); }

}  // namespace

TEST(Wcs, ChecksTableAndDrivesItFromItsOwnThread) {
    g_test_thread = pthread_self();
    wcs_dmi_ops_st bad{2, fake_create, fake_delete, fake_hs_create};
    EXPECT_EQ(-1, wcs_init(1, &bad));
    EXPECT_EQ("mode=1 tag=2 ops=incomplete", get("sim.wcs.init"));
    EXPECT_EQ(-1, wcs_init(0, nullptr));
    EXPECT_EQ("mode=0 ops=null", get("sim.wcs.init"));

    ASSERT_EQ(0, property_set("sim.wcs.dmi_selftest", "1"));
    wcs_dmi_ops_st ops{1, fake_create, fake_delete, fake_hs_create};
    ASSERT_EQ(0, wcs_init(0, &ops));
    EXPECT_EQ("mode=0 tag=1 ops=ok", get("sim.wcs.init"));
    ASSERT_TRUE(korvtest::wait_until([] { return !get("sim.wcs.selftest").empty(); }, 5000));
    EXPECT_EQ("create=0 hs_create=0 delete=0,0", get("sim.wcs.selftest"));
    std::lock_guard<std::mutex> g(g_calls_mu);
    std::vector<std::string> want = {"create wcs0 1 0", "hs_create wcs1 3 1500", "delete wcs0",
                                     "delete wcs1"};
    EXPECT_EQ(want, g_calls);
    EXPECT_FALSE(g_on_test_thread);

    EXPECT_EQ(0, wcs_modem_exception_notify());
    EXPECT_EQ(0, wcs_modem_exception_notify());
    EXPECT_EQ("2", get("sim.wcs.exc_notify"));
    EXPECT_EQ(0, wcs_deinit());
    EXPECT_EQ("1", get("sim.wcs.deinit"));
    EXPECT_NE(std::string::npos, g_root.read("/test.log").find("[WCS] wcs_init mode=0 tag=1 ops=ok"));
}

TEST(AmtHelper, CountsItsCalls) {
    void *h = dlopen(g_root.path("/system/lib64/hw/amt.bw7720.misc.so").c_str(), RTLD_NOW);
    ASSERT_NE(nullptr, h) << dlerror();
    auto fn = reinterpret_cast<int (*)()>(dlsym(h, "amtWriteEncryptDataFirst"));
    ASSERT_NE(nullptr, fn);
    EXPECT_EQ(0, fn());
    EXPECT_EQ(0, fn());
    EXPECT_EQ("2", get("sim.amt.calls"));
    dlclose(h);
}
