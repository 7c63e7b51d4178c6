/* Fuzz target "work": the work-channel dispatcher fed arbitrary records
 * (korv_fuzz_records), with everything it reaches running for real on the
 * simulated root: the UTRAN start, stop and image walks (the stop's pause
 * skipped), the DMI requests to the simulated driver, the confirmations on a
 * socket, the test text to /dev/null.
 *
 * Side effects that would outlast an input are made cheap the way a phone
 * would: with persist.sys.modem.log and persist.sys.modem.reset at 0 an
 * exception request runs no dump tool, closes nothing and never restarts
 * the process, and with persist.brimwell.dump.finish at 1 the dump poll, run
 * by the harness after each input, releases the exception claim again.
 * Voltage requests get no thread (the adapter's fault injection refuses
 * "voltage_control"): a thread per input would outlive it and write sysfs
 * files after the next one began. */
#include <fcntl.h>
#include <unistd.h>

#include "cutils/properties.h"
#include "exception/exception.h"
#include "fuzz/targets/fuzz_targets.h"
#include "fwlink/fwlink.h"
#include "kor_event.h"
#include "kor_os.h"
#include "modem/at_modem.h"
#include "utran/utran.h"
#include "work/work.h"

/* The work connection: the dispatcher replies on [0], the harness drops
 * what arrives on [1]. */
static int s_work[2];

static void work_fuzz_init(void)
{
    property_set("persist.sys.modem.log", "0");
    property_set("persist.sys.modem.reset", "0");
    property_set("persist.brimwell.dump.finish", "1");
    kor_fault_set("thread:voltage_control");
    if (at_modem_open() != 0) abort();
    korv_fuzz_socketpair(s_work);
    fw_client_8010.fd = s_work[0];
    g_fdTestSocbridgeWrite = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (g_fdTestSocbridgeWrite < 0) abort();
}

/* Leaves the daemon as init left it, so that an input replays alike on its
 * own: no exception in progress, the UTRAN service stopped with its channels
 * deleted, an empty image store. */
static void work_settle(void)
{
    if (kro_is_modem_reseting()) kro_on_modem_exception(-1, KOR_EV_TIMEOUT, NULL);
    stop_utran_service();
    korv_fuzz_utran_clear();
    korv_fuzz_trim_journal();
}

static int work_fuzz_one(const uint8_t *data, size_t size)
{
    korv_fuzz_skip_pauses(true);
    korv_fuzz_records(data, size, [](const uint8_t *rec, size_t len) {
        work_socket_event(s_work[0], rec, len);
        korv_fuzz_drain(s_work[1]);
    });
    work_settle();
    KORV_FUZZ_CHECK("work", !kro_is_modem_reseting());
    korv_fuzz_skip_pauses(false);
    return 0;
}

const korv_fuzz_target korv_fuzz_work = {"work", work_fuzz_init, work_fuzz_one};
