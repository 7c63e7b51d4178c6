/* Bring-up and teardown of the daemon. */
#ifndef BRINGUP_H
#define BRINGUP_H

#include <stdint.h>
#include "wcs.h"

#ifdef __cplusplus
extern "C" {
#endif

#define AMT_HELPER_LIB "/system/lib64/hw/amt.bw7720.misc.so"
#define AMT_HELPER_FN "amtWriteEncryptDataFirst"

extern wcs_dmi_ops_st *g_wcs_dmi_ops;

int ril_l2k_init(uint8_t init_mode);
int ril_l2k_deinit(void);
void krov_start_mwrx(void);
void krov_stop_mwrx(void);
/* Releases the operations table once, whichever of teardown and a failed
 * event loop comes first. */
void kro_release_dmi_ops(void);

#ifdef __cplusplus
}
#endif
#endif
