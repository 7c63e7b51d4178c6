/* libwcs.so stand-in: the waveform control service library.  It checks the
 * DMI operations table korv hands over, logs what it got and leaves evidence
 * in sim.* properties for tests.  On request (sim.wcs.dmi_selftest = 1) it
 * drives the table from a thread of its own, as the real library may.
 *
 * State: s_ops, a copy of the table taken by wcs_init on korv's main thread
 * before the self-test thread starts; nothing changes it afterwards, so the
 * thread reads it without a lock. */
#include "wcs.h"

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cutils/properties.h"
#include "kor_os.h"

namespace {

constexpr int k_mod_wcs = 9;
wcs_dmi_ops_st s_ops;

/* Counters live in properties so that they survive korv's restarts. */
void count_call(const char *name) {
    char value[PROPERTY_VALUE_MAX];
    property_get(name, value, "0");
    char next[24];
    snprintf(next, sizeof next, "%ld", strtol(value, nullptr, 10) + 1);
    property_set(name, next);
}

dmi_channel channel(const char *name, uint32_t type, uint32_t base) {
    dmi_channel d;
    memset(&d, 0, sizeof d);
    snprintf(d.name, sizeof d.name, "%s", name);
    d.type = type;
    d.property = 1;
    d.cp2ap_addr = base;
    d.cp2ap_size = 4096;
    d.cp2ap_ind = 1;
    d.ap2cp_addr = base + 0x1000;
    d.ap2cp_size = 4096;
    d.ap2cp_ind = 2;
    return d;
}

void *selftest(void *) {
    dmi_channel plain = channel("wcs0", 1, 0x10000);
    dmi_channel fast = channel("wcs1", 3, 0x20000);
    fast.cp2ap_pkt_maxnum = 16;
    fast.cp2ap_pkt_maxsize = 1500;
    fast.ap2cp_pkt_maxnum = 16;
    fast.ap2cp_pkt_maxsize = 1500;
    fast.cp2ap_ctl_id = 7;
    fast.ap2cp_ctl_id = 8;
    int c0 = s_ops.dmi_create(&plain);
    int c1 = s_ops.hs_dmi_create(&fast);
    int d0 = s_ops.dmi_delete("wcs0");
    int d1 = s_ops.dmi_delete("wcs1");
    char result[PROPERTY_VALUE_MAX];
    snprintf(result, sizeof result, "create=%d hs_create=%d delete=%d,%d", c0, c1, d0, d1);
    tp_os_str_printf(k_mod_wcs, KOR_LVL_FLOW, "[WCS] dmi selftest %s\n", result);
    property_set("sim.wcs.selftest", result);
    return nullptr;
}

void start_selftest() {
    pthread_t t;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (pthread_create(&t, &attr, selftest, nullptr) != 0)
        tp_os_str_printf(k_mod_wcs, KOR_LVL_ERROR, "[WCS] cannot start the dmi selftest\n");
    pthread_attr_destroy(&attr);
}

}  // namespace

extern "C" int wcs_init(int init_mode, wcs_dmi_ops_st *ops) {
    char evidence[PROPERTY_VALUE_MAX];
    bool ok = ops && ops->ops_tag == 1 && ops->dmi_create && ops->dmi_delete && ops->hs_dmi_create;
    if (ops)
        snprintf(evidence, sizeof evidence, "mode=%d tag=%u ops=%s", init_mode, ops->ops_tag,
                 ok ? "ok" : "incomplete");
    else
        snprintf(evidence, sizeof evidence, "mode=%d ops=null", init_mode);
    tp_os_str_printf(k_mod_wcs, ok ? KOR_LVL_FLOW : KOR_LVL_ERROR, "[WCS] wcs_init %s\n", evidence);
    property_set("sim.wcs.init", evidence);
    if (!ok) return -1;
    s_ops = *ops;
    char want[PROPERTY_VALUE_MAX];
    property_get("sim.wcs.dmi_selftest", want, "0");
    if (want[0] == '1') start_selftest();
    return 0;
}

extern "C" int wcs_deinit(void) {
    tp_os_str_printf(k_mod_wcs, KOR_LVL_FLOW, "[WCS] wcs_deinit\n");
    count_call("sim.wcs.deinit");
    return 0;
}

extern "C" int wcs_modem_exception_notify(void) {
    tp_os_str_printf(k_mod_wcs, KOR_LVL_FLOW, "[WCS] wcs_modem_exception_notify\n");
    count_call("sim.wcs.exc_notify");
    return 0;
}
