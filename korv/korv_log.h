/* The daemon's log calls: one macro per module and level, so that a call
 * reads as its text.  Every line still goes through tp_os_str_printf with the
 * module and level numbers the platform's log readers filter on. */
#ifndef KORV_LOG_H
#define KORV_LOG_H

#include "kor_os.h"

/* Daemon core (module 3): bring-up, links, work channel, UTRAN, exceptions. */
#define LOG_CORE_FLOW(...) tp_os_str_printf(KOR_MOD_CORE, KOR_LVL_FLOW, __VA_ARGS__)
#define LOG_CORE_ERR(...) tp_os_str_printf(KOR_MOD_CORE, KOR_LVL_ERROR, __VA_ARGS__)
/* Modem device, configuration and NV-file lines (module 8). */
#define LOG_MODEM_FLOW(...) tp_os_str_printf(KOR_MOD_MODEM, KOR_LVL_FLOW, __VA_ARGS__)
#define LOG_MODEM_ERR(...) tp_os_str_printf(KOR_MOD_MODEM, KOR_LVL_ERROR, __VA_ARGS__)
/* NVRAM store (module 4). */
#define LOG_NV_FLOW(...) tp_os_str_printf(KOR_MOD_NVRAM, KOR_LVL_FLOW, __VA_ARGS__)
#define LOG_NV_ERR(...) tp_os_str_printf(KOR_MOD_NVRAM, KOR_LVL_ERROR, __VA_ARGS__)
/* DMI connect lines (module 1). */
#define LOG_DMI_FLOW(...) tp_os_str_printf(KOR_MOD_DMI, KOR_LVL_FLOW, __VA_ARGS__)

#endif
