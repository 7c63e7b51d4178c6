/* Process frame: command-line options, the version text, the check of the
 * waveform configuration NV file and its backup, the handler of the
 * terminating signals and the switch to real-time scheduling.  Everything
 * here runs on the main thread before bring-up, except on_exit_signal, which
 * runs on whichever thread the kernel picks.
 *
 * Shared state: s_teardown_started (atomic), set once by the first
 * on_exit_signal with an exchange, no lock (a signal handler must not wait
 * for one). */
#include "process/frame.h"

#include <atomic>
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "bringup.h"
#include "process/cfg.h"
#include "kor_os.h"
#include "korv_log.h"
#include "kor_platform.h"

#define KORV_OPTSTRING "p:d:m:h:c:s"
#define KORV_USAGE                                                                                   \
    "\nUsage: %s [OPTION]\n  -m <normal, amt, sml, mini, lite> Set normal, amt, sml, mini or lite " \
    "mode,default is normal.\n  -d Set device used by AP to transfer data from or or Modem\n  -h  " \
    "                   Display this help and exit.\n\n"
/* Standard output carries the fixed text above, which scripts may match;
 * what it leaves out goes to standard error. */
#define KORV_USAGE_MORE                                                                              \
    "Also: -p <file>  Read the configuration from <file> (default " CFG_DEFAULT_PATH ").\n"          \
    "      -d, -h, -c and -s print this text and exit; -h needs no argument.\n"

#define ERR_TEXT_SIZE 128
#define INIT_MODE_NORMAL 0
#define INIT_MODE_AMT 1

/* The terminating signals, in the order their handler is installed. */
static const int s_exit_signals[] = {KOR_EXIT_SIGNALS};

/* Teardown runs once.  A second terminating signal (say SIGTERM from the
 * service manager while a self-restart tears down) can land on another
 * thread; it must not release the same resources twice. */
static std::atomic<int> s_teardown_started{0};

static void apply_mode(const char *arg, int *init_mode)
{
    /* Substring matches, "normal" first: "-m abnormal" counts as normal. */
    if (strstr(arg, "normal") != NULL)
        *init_mode = INIT_MODE_NORMAL;
    else if (strstr(arg, "amt") != NULL)
        *init_mode = INIT_MODE_AMT;
}

/* getopt's own complaint would answer a plain -h with "option requires an
 * argument"; the note names the option that went wrong in plainer words. */
static void usage_note(int opt)
{
    if (opt == '?' && optopt != 'h' && optopt != 0 && strchr("pdmc", optopt) != NULL)
        fprintf(stderr, "korv: -%c needs an argument\n", optopt);
    else if (opt == '?' && optopt != 'h')
        fprintf(stderr, "korv: unknown option -%c\n", optopt ? optopt : '?');
    fputs(KORV_USAGE_MORE, stderr);
}

int kro_parse_options(int argc, char **argv, int *init_mode, char *cfg_file)
{
    int opt;

    opterr = 0;
    while ((opt = getopt(argc, argv, KORV_OPTSTRING)) != -1) {
        switch (opt) {
        case 'p':
            /* A repeated -p replaces the earlier path entirely. */
            tp_os_mem_set(cfg_file, 0, KORV_CFG_FILE_SIZE);
            strncpy(cfg_file, optarg, KORV_CFG_FILE_SIZE - 1);
            break;
        case 'm':
            apply_mode(optarg, init_mode);
            break;
        default: /* -d -h -c -s, unknown letters, missing arguments */
            printf(KORV_USAGE, argv[0]);
            fflush(stdout);
            usage_note(opt);
            return 1;
        }
    }
    return 0;
}

/* fsync of one path (a file, or a directory for the names in it).  A path
 * that is missing is left alone: a copy that failed is not reported. */
static void sync_path(const char *path)
{
    int fd = kor_open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    if (fsync(fd) != 0) {
        char text[ERR_TEXT_SIZE];
        LOG_MODEM_ERR("[AT-MODEM][FLOW]: korv sync of %s failed: %s\n", path,
                      strerror_r(errno, text, sizeof text));
    }
    close(fd);
}

/* The shell's "sync" is not checked and may not even run; the copy and the
 * directory entry that names it are synced here as well. */
static void sync_copy(const char *path)
{
    sync_path(path);
    sync_path(KORV_WFCONFIG_DIR);
}

/* Runs the copy command, then makes the copy durable and logs `line`. */
static void copy_nv_file(const char *command, const char *copy, const char *line)
{
    kor_system(command);
    kor_system("sync");
    sync_copy(copy);
    LOG_MODEM_FLOW("%s", line);
}

int check_cp_nvram_backup(void)
{
    int result = -1;

    if (tp_fexist(KORV_WFCONFIG_NV) != 0) {
        copy_nv_file("cp " KORV_WFCONFIG_NV_BAK " " KORV_WFCONFIG_NV, KORV_WFCONFIG_NV,
                     "[AT-MODEM][FLOW]: korv cp_nvram recovery\n");
        result = 0;
    }
    /* Asked afresh: the restore above may just have failed. */
    if (tp_fexist(KORV_WFCONFIG_NV_BAK) != 0) {
        copy_nv_file("cp " KORV_WFCONFIG_NV " " KORV_WFCONFIG_NV_BAK, KORV_WFCONFIG_NV_BAK,
                     "[AT-MODEM][FLOW]: korv cp_nvram bak\n");
        result = 0;
    }
    return result;
}

int get_version(char *buf, uint8_t capacity)
{
    size_t len = sizeof(KORV_VERSION) - 1;

    if (buf == NULL)
        return -1;
    check_cp_nvram_backup();
    /* No terminator: the caller hands a zero-filled buffer. */
    tp_os_mem_cpy(buf, KORV_VERSION, capacity < len ? capacity : len);
    return 0;
}

static void on_exit_signal(int signo, siginfo_t *info, void *context)
{
    pid_t pid = getpid();

    (void)context;
    LOG_CORE_FLOW("hqsd receive signal %d\n", signo);
    LOG_CORE_FLOW("signal->_sifields._kill._pid  = %d, real_pid = %d\n",
                  info != NULL ? (int)info->si_pid : 0, (int)pid);
    if (s_teardown_started.exchange(1) != 0) {
        /* Another thread is tearing down and will end the process. */
        for (;;)
            pause();
    }
    ril_l2k_deinit();
    LOG_CORE_FLOW("korvd exit\n");
    /* The lines still in the threads' log buffers, this handler's own among
     * them, leave before the process does. */
    tp_os_log_flush();
    /* _exit, not exit: atexit handlers and static destructors would run
     * while the looper and writer threads still use what they destroy. */
    _exit(0);
}

void kro_install_exit_signals(void)
{
    struct sigaction sa;
    size_t i;

    memset(&sa, 0, sizeof(sa));
    sa.sa_sigaction = on_exit_signal;
    sa.sa_flags = SA_SIGINFO;
    /* While the handler runs on a thread, the other terminating signals wait
     * on that thread, so teardown is never re-entered half-way. */
    sigemptyset(&sa.sa_mask);
    for (i = 0; i < sizeof(s_exit_signals) / sizeof(s_exit_signals[0]); i++)
        sigaddset(&sa.sa_mask, s_exit_signals[i]);
    for (i = 0; i < sizeof(s_exit_signals) / sizeof(s_exit_signals[0]); i++)
        sigaction(s_exit_signals[i], &sa, NULL);
}

void pub_util_raise_process_priority(void)
{
    pid_t pid = getpid();
    struct sched_param param;
    int max;
    int ret;

    LOG_CORE_FLOW("pub_util_raise_process_priority  entering\n");
    max = sched_get_priority_max(SCHED_FIFO);
    if (max == -1) {
        LOG_CORE_FLOW("sched_get_priority_max");
        return;
    }
    memset(&param, 0, sizeof(param));
    param.sched_priority = max - 4;
    ret = sched_setscheduler(pid, SCHED_FIFO, &param);
    if (ret == -1)
        LOG_CORE_FLOW("sched_setscheduler  error ret_val = %d\n", ret);
    else
        LOG_CORE_FLOW("sched_setscheduler sched_priority = %d\n",
                      param.sched_priority);
}
