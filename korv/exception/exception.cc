/* Exception handling: one modem exception at a time is taken through the
 * dump tool, a poll for the tool's completion and, when a reset is wanted,
 * the notice to the framework and the self-restart.  Also the 4-byte
 * notifications on the pty master.
 *
 * Shared state: s_is_modem_reseting (atomic) is claimed with a
 * compare-and-swap (the framework-link path can call in from a voltage
 * thread) and read without a lock by the write-failure path.
 * s_modem_exception_flag is written by the one caller that claimed the
 * handling and read by the poll after the timer hand-over.  The poll event is
 * touched only by the claiming caller and then by the poll itself on the
 * looper. */
#include <atomic>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "ctl/ctl.h"
#include "cutils/properties.h"
#include "exception/exception.h"
#include "kor_event.h"
#include "kor_os.h"
#include "korv_log.h"
#include "kor_platform.h"
#include "work/work.h"

#define DUMP_SWITCH_PROP "persist.sys.modem.log"
#define RESET_SWITCH_PROP "persist.sys.modem.reset"
#define DUMP_FINISH_PROP "persist.brimwell.dump.finish"
#define DUMP_COMMAND "/system/bin/bw-dump -l %d -r %d &"
#define NOTIFY_SIZE 4

static std::atomic<int> s_is_modem_reseting{0}; /* 1 from the claim until the poll ends */
static int s_modem_exception_flag;                /* the claiming caller, then the poll */
static kor_event_st s_dump_poll_event;            /* the claiming caller, then the poll (looper) */
static const kor_timeval_st s_dump_poll_period = {0, 50000};

/* First character of a property; the buffer is cleared so that an empty
 * value reads as NUL, never as stale bytes. */
static char prop_first(const char *name, const char *def)
{
    char value[PROPERTY_VALUE_MAX];

    memset(value, 0, sizeof value);
    property_get(name, value, def);
    return value[0];
}

void kro_log_exception_prop(void)
{
    LOG_CORE_FLOW("[KORV][FLOW] persist.sys.modem.exception= %c",
                  prop_first(MODEM_EXCEPTION_PROP, "0"));
}

int korv_exception_inform(uint8_t type)
{
    uint8_t rec[NOTIFY_SIZE] = {type, 0, 0, 0};
    ssize_t n;

    LOG_CORE_FLOW("korv_exception_inform msgtype:%d", type);
    n = write(ptym_fd, rec, sizeof rec);
    if (n != (ssize_t)sizeof rec) {
        LOG_CORE_FLOW("Error write %d: %s\n", ptym_fd,
                      strerror(errno));
        return -1;
    }
    LOG_CORE_FLOW("korv_exception_inform write  ptym_fd:%d success",
                  ptym_fd);
    return 0;
}

void kro_inform_and_log(uint8_t type, const char *caller)
{
    LOG_CORE_FLOW("[KORV][WORK]korv_exception_inform in %s return %s\n",
                  caller, korv_exception_inform(type) == 0 ? "success" : "failure");
}

int kro_is_modem_reseting(void) { return s_is_modem_reseting.load(); }

static void arm_dump_poll(void)
{
    kor_event_set(&s_dump_poll_event, -1, 0, kro_on_modem_exception, NULL);
    kor_timer_add(&s_dump_poll_event, &s_dump_poll_period);
}

static void log_handler_exit(void)
{
    LOG_CORE_FLOW("[KORV][WORK]: at_modem_handle_exception exit!\n");
}

/* The dump tool owns the modem's exception state from here on; no further
 * record is read for the rest of the process.  A reader thread blocked on
 * its copy of the descriptor finds the channel gone and does not re-arm. */
static void close_exception_channel(void)
{
    int fd;
    int ret;

    /* Held across take and close: a reader never copies or re-arms a
     * number that is being closed. */
    kro_socbridge_lock();
    fd = kro_socbridge_take_fd();
    LOG_CORE_FLOW("[KORV][WORK]: kro_handle_modem_exception s_fd_socbridge=%d!\n", fd);
    if (fd > 0) {
        ret = close(fd);
        LOG_CORE_FLOW("[KORV][WORK]: kro_handle_modem_exception close ret=%d!\n", ret);
        if (ret < 0)
            LOG_CORE_FLOW("kro_handle_modem_exception close device fail: %d - %s", errno,
                          strerror(errno));
    }
    kro_socbridge_unlock();
}

/* The tool runs in the background and reports through DUMP_FINISH_PROP. */
static void run_dump_tool(int dump_switch, int reset_switch)
{
    char *cmd = NULL;

    if (asprintf(&cmd, DUMP_COMMAND, dump_switch, reset_switch) < 0) {
        LOG_CORE_ERR("[KORV][WORK]: at_modem_handle_exception no memory for the dump command\n");
        return;
    }
    property_set(DUMP_FINISH_PROP, "0");
    LOG_CORE_FLOW("system(%s)\n", cmd);
    kor_system(cmd);
    free(cmd);
    log_handler_exit();
}

void kro_handle_modem_exception(int flag)
{
    int idle = 0;
    int dump_switch;
    int reset_switch;

    if (!s_is_modem_reseting.compare_exchange_strong(idle, 1)) {
        LOG_CORE_FLOW("[KORV][WORK]: kro_handle_modem_exception ignored for modem is reseting now flag:%d\n",
                      flag);
        return;
    }
    LOG_CORE_FLOW("[KORV][WORK]: kro_handle_modem_exception flag:%d, s_is_modem_reseting:%d\n",
                  flag, 0);
    s_modem_exception_flag = flag;
    kro_ctl_stat_exception_begin(flag);
    dump_switch = prop_first(DUMP_SWITCH_PROP, "0") == '1';
    reset_switch = prop_first(RESET_SWITCH_PROP, "1") == '1';
    LOG_CORE_FLOW("[KORV][WORK]: at_modem_handle_exception dump_switch:%d, reset_switch:%d enter!\n",
                  dump_switch, reset_switch);
    if (!dump_switch && !reset_switch) {
        /* Nothing to run: the poll decides on whatever the finish property
         * already says. */
        LOG_CORE_FLOW("[KORV][WORK]: at_modem_handle_exception exit! dump_switch:%d, reset_switch:%d\n",
                      0, 0);
    } else {
        close_exception_channel();
        run_dump_tool(dump_switch, reset_switch);
    }
    arm_dump_poll();
    log_handler_exit();
}

static void restart_self(void)
{
    property_set(MODEM_EXCEPTION_PROP, "0");
    kro_log_exception_prop();
    kro_inform_and_log(KRO_NOTIFY_RESET, "kro_on_modem_exception");
    /* The exit-signal handler tears down and exits; the service manager
     * starts a fresh daemon. */
    if (kill(getpid(), SIGUSR2) != 0)
        LOG_CORE_FLOW("[KORV][WORK]killself failed, errno %d - %s\n",
                      errno, strerror(errno));
    else
        LOG_CORE_FLOW("[KORV][WORK]killself successed!\n");
}

void kro_on_modem_exception(int fd, short flags, void *arg)
{
    (void)fd;
    (void)flags;
    (void)arg;
    if (prop_first(DUMP_FINISH_PROP, "0") == '0') {
        arm_dump_poll();
    } else if (prop_first(RESET_SWITCH_PROP, "1") == '0') {
        LOG_CORE_FLOW("[KORV][WORK]kro_on_modem_exception, persist.sys.modem.reset is closed, not killself\n");
        kro_ctl_stat_exception_state(KRO_CTL_EXC_IDLE);
        s_is_modem_reseting.store(0);
    } else {
        kro_ctl_stat_exception_state(KRO_CTL_EXC_RESETTING);
        kro_on_modem_reset_completed(s_modem_exception_flag);
        s_is_modem_reseting.store(0);
        restart_self();
    }
    LOG_CORE_FLOW("======on_dump_stat_polling eson loop enter ======");
}
