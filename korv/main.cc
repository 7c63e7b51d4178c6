/* Entry of the korv daemon: options, configuration, the NV backup check, the
 * banner, the exit signals, real-time priority, bring-up, the DSP boot node,
 * then the main thread sleeps for the life of the process.  All further work
 * runs on the threads that bring-up starts. */
#include <stdint.h>
#include <unistd.h>

#include "process/cfg.h"
#include "process/frame.h"
#include "bringup.h"
#include "kor_os.h"
#include "korv_log.h"
#include "kor_platform.h"

#define KORV_VERSION_SIZE 51
#define KORV_VERSION_CAPACITY 50
#define KORV_DSP_BOOT_CMD "echo 1 > /sys/kernel/boot_adsp/boot"
#define KORV_MAIN_SLEEP_S 0x0FFFFFFF

int main(int argc, char **argv)
{
    int init_mode = 0;
    char cfg_file[KORV_CFG_FILE_SIZE] = {0};
    char version[KORV_VERSION_SIZE] = {0};

    tp_os_log_init(0);
    /* Hot paths log many fixed lines each; one write per line would cost
     * more than their work.  A failure is logged, and lines then leave one
     * by one. */
    tp_os_log_batch_start();
    if (argc > 1 && kro_parse_options(argc, argv, &init_mode, cfg_file) != 0)
        return 0; /* usage printed */

    /* An unreadable configuration file is logged by the reader; the daemon
     * runs on defaults. */
    cfg_init(cfg_file);
    get_version(version, KORV_VERSION_CAPACITY);
    LOG_CORE_FLOW("\n----KORV ENTRY version: %s, init_mode: %d, cfg_file: %s----\n", version,
                  init_mode, cfg_file);

    kro_install_exit_signals();
    /* Before bring-up, so that every thread it starts inherits SCHED_FIFO. */
    pub_util_raise_process_priority();

    /* A bring-up that stopped early leaves the process alive and idle. */
    ril_l2k_init((uint8_t)init_mode);

    sleep(1);
    kor_system(KORV_DSP_BOOT_CMD);

    for (;;) {
        LOG_CORE_FLOW("korv main thread begin to sleep\n");
        sleep(KORV_MAIN_SLEEP_S);
    }
}
