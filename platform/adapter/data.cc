/* Data objects the adapter exports: the configuration record, which the
 * daemon fills from its configuration file, and the task priority table.
 *
 * Priorities use the scale of tp_os_thread_create: 1..99 are SCHED_FIFO
 * priorities.  The daemon itself runs at FIFO 95, and threads it starts with
 * a negative priority inherit that.  The NVRAM writer (slot 44) gets 80: file
 * writes must not hold off the looper or exception handling, yet should not
 * wait behind ordinary processes of the phone either.  Slots the daemon does
 * not use hold 50, the middle of the real-time range. */
#include "kor_cfg.h"
#include "kor_os.h"

bw_hqs_cfg_st g_bw_hqs_cfg;

uint8_t g_pf_task_pri_tbl[KOR_PRI_TBL_SIZE] = {
    50, 50, 50, 50, 50, 50, 50, 50,  /* 0..7 */
    50, 50, 50, 50, 50, 50, 50, 50,  /* 8..15 */
    50, 50, 50, 50, 50, 50, 50, 50,  /* 16..23 */
    50, 50, 50, 50, 50, 50, 50, 50,  /* 24..31 */
    50, 50, 50, 50, 50, 50, 50, 50,  /* 32..39 */
    50, 50, 50, 50, 80, 50, 50, 50,  /* 40..47 */
    50, 50, 50, 50, 50, 50, 50, 50,  /* 48..55 */
    50, 50, 50, 50, 50, 50, 50, 50,  /* 56..63 */
};
