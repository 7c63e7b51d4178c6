/* Bring-up and teardown of the daemon.  ril_l2k_init runs once on the main
 * thread and starts everything else: the amt helper (amt mode), the modem, the
 * NVRAM store, the control socket, the companion init services, the looper,
 * the framework connections, the exception channel, the AT time-out watch
 * and libwcs.
 * ril_l2k_deinit runs inside the exit-signal handler; it lets the NVRAM
 * writer finish and sync what it has read before the process ends.
 *
 * Ownership: g_wcs_dmi_ops (atomic) is written once by bring-up, lent to
 * libwcs, and released once by whichever of teardown and a failed event loop
 * comes first (an exchange decides).  It lives in pages of its own so that the
 * release, which may run inside a signal handler, takes no allocator lock. */
#include <atomic>
#include <dlfcn.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "ctl/ctl.h"
#include "cutils/properties.h"
#include "exception/exception.h"
#include "bringup.h"
#include "fwlink/fwlink.h"
#include "kor_os.h"
#include "korv_log.h"
#include "looper.h"
#include "kor_platform.h"
#include "modem/at_modem.h"
#include "modem/dmi.h"
#include "nvram/nvram.h"
#include "utran/utran.h"

#define THREAD_PRIORITY (-64)
#define CONNECT_SIZE_HINT 1
#define AMT_MODE_PROP "sys.bw.amtmode"
#define WCS_OPS_TAG 1

/* Bring-up stores it; teardown or the failed looper takes it back. */
static std::atomic<wcs_dmi_ops_st *> g_wcs_dmi_ops{NULL};

/* Companion services in start order; teardown also stops the log service. */
static const char *const s_mwrx_services[] = {"waveform-manager", "mwrx-amt", "log-ctrl-manager"};
static const char *const s_mwrx_stop_services[] = {"waveform-manager", "mwrx-amt", "log-ctrl-manager",
                                                   "cp-log-ctrl"};

static void krov_start_mwrx(void);
static void krov_stop_mwrx(void);

static void read_prop(const char *name, char *value, const char *default_value)
{
    memset(value, 0, PROPERTY_VALUE_MAX);
    property_get(name, value, default_value);
}

/* Reads the amt mode switch and logs it; 1 in amt mode. */
static int amt_mode(void)
{
    char value[PROPERTY_VALUE_MAX];
    read_prop(AMT_MODE_PROP, value, "0");
    LOG_CORE_FLOW("sys.bw.amtmode, state: %s \n", value);
    return value[0] != '0';
}

static void amt_write_encrypt_data(void)
{
    void *lib = kor_dlopen(AMT_HELPER_LIB, RTLD_LAZY);
    if (lib == NULL) {
        LOG_CORE_FLOW("amt_write_encrypt_data call dlopen fail: - %s", dlerror());
        return;
    }
    int (*write_first)(void) = (int (*)(void))dlsym(lib, AMT_HELPER_FN);
    if (write_first == NULL) {
        /* Kept loaded: a helper without its entry point is left as found. */
        LOG_CORE_FLOW("amtWriteEncryptDataFirst call dlsym fail: - %s", dlerror());
        return;
    }
    LOG_CORE_FLOW("will call amt_write_encrypt.");
    int ret = write_first();
    LOG_CORE_FLOW("stop call amt_write_encrypt_test. return value:%d.", ret);
    dlclose(lib);
}

static wcs_dmi_ops_st *alloc_dmi_ops(void)
{
    void *page = mmap(NULL, sizeof(wcs_dmi_ops_st), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED)
        return NULL;
    wcs_dmi_ops_st *ops = (wcs_dmi_ops_st *)page;
    ops->ops_tag = WCS_OPS_TAG;
    ops->dmi_create = platform_manager_dmi_create;
    ops->dmi_delete = platform_manager_dmi_delete;
    ops->hs_dmi_create = platform_manager_hs_dmi_create;
    return ops;
}

void kro_release_dmi_ops(void)
{
    wcs_dmi_ops_st *ops = g_wcs_dmi_ops.exchange(NULL);
    if (ops != NULL)
        munmap(ops, sizeof(*ops));
}

static void start_fw_connection(fw_socket_client_st *client, const char *thread_name, int default_port)
{
    client->fd.store(-1, std::memory_order_release);
    client->port = kro_fw_port(default_port);
    kro_ctl_stat_link_port(default_port == FW_NV_PORT ? KRO_CTL_LINK_NV : KRO_CTL_LINK_WORK, client->port);
    tp_os_thread_create(thread_name, set_fwsocket_event, THREAD_PRIORITY, CONNECT_SIZE_HINT, client);
}

int ril_l2k_init(uint8_t init_mode)
{
    LOG_CORE_FLOW("[KORV][API]: ril_l2k_init( init_mode=%d )\n", init_mode);
    LOG_CORE_FLOW("amt_write_encrypt_data start.");
    if (amt_mode())
        amt_write_encrypt_data();

    kro_ctl_stat_modem_state(at_modem_open() == 0 ? KRO_CTL_MODEM_OPEN : KRO_CTL_MODEM_FAILED);
    tp_os_queue_init();
    tp_nvram_open_files();
    if (tp_nvram_init() != 0) {
        LOG_CORE_FLOW("[KORV][FLOW]: NVRAM manager init failure!\n");
        return -1;
    }
    /* From here on the path-info map exists for the status answer. */
    kro_ctl_start();
    if (at_modem_start() == 0)
        kro_ctl_stat_modem_state(KRO_CTL_MODEM_RUNNING);
    else
        kro_ctl_stat_modem_state(KRO_CTL_MODEM_FAILED);
    krov_start_mwrx();

    g_wcs_dmi_ops.store(alloc_dmi_ops());
    kro_event_looper_start();

    start_fw_connection(&fw_client_8010, "set_fwsocket_event_8010", FW_WORK_PORT);
    start_fw_connection(&fw_client_8020, "set_fwsocket_event_8020", FW_NV_PORT);
    tp_os_thread_create("set_socbridge_event", set_socbridge_event, THREAD_PRIORITY, CONNECT_SIZE_HINT, NULL);
    start_at_timeout_watch();

    LOG_CORE_FLOW("[KORV][FLOW]: Initialization ril l2k successful!\n");
    wcs_init(init_mode, g_wcs_dmi_ops.load());
    return 0;
}

/* Starts (or restarts) the companion services, unless in amt mode. */
static void krov_start_mwrx(void)
{
    LOG_CORE_FLOW("krov_start_mwrx \n");
    if (amt_mode())
        return;
    for (const char *service : s_mwrx_services) {
        char prop[PROPERTY_KEY_MAX + 32];
        char state[PROPERTY_VALUE_MAX];
        snprintf(prop, sizeof(prop), "init.svc.%s", service);
        read_prop(prop, state, "stopped");
        LOG_CORE_FLOW("current service: %s, state: %s \n", prop, state);
        property_set(strstr(state, "stopped") != NULL ? "ctl.start" : "ctl.restart", service);
    }
}

/* Stops the companion services and the log service. */
static void krov_stop_mwrx(void)
{
    LOG_CORE_FLOW("krov_stop_mwrx \n");
    for (const char *service : s_mwrx_stop_services)
        property_set("ctl.stop", service);
}

int ril_l2k_deinit(void)
{
    /* The NVRAM writer goes on working through the stop: what it has read
     * is written and synced while the UTRAN stop pauses, and the wait for
     * it at the end is bounded from here. */
    nvram_drain_st drain;
    tp_nvram_drain_begin(&drain);
    stop_utran_service();
    krov_stop_mwrx();
    int held = kro_socbridge_lock_timed("ril_l2k_deinit");
    int fd = kro_socbridge_take_fd();
    if (fd > 0)
        close(fd);
    if (held)
        kro_socbridge_unlock();
    wcs_deinit();
    kro_ctl_stop();
    /* Released after wcs_deinit: the library's threads may still call the
     * operations until it has stopped them. */
    kro_release_dmi_ops();
    tp_nvram_drain_end(&drain);
    return 0;
}
