/* Bring-up and teardown of the daemon. */
#ifndef BRINGUP_H
#define BRINGUP_H

#include <stdint.h>
#include "wcs.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The amt helper library, loaded in amt mode only, and its entry point. */
#define AMT_HELPER_LIB "/system/lib64/hw/amt.bw7720.misc.so"
#define AMT_HELPER_FN "amtWriteEncryptDataFirst"

/* Brings the daemon up on the main thread (modem, NVRAM store, services,
 * looper, framework links, exception channel, AT watch, libwcs); 0, or -1
 * when the NVRAM store fails. */
int ril_l2k_init(uint8_t init_mode);
/* Tears the daemon down inside the exit-signal handler; always 0. */
int ril_l2k_deinit(void);
/* Releases the operations table once, whichever of teardown and a failed
 * event loop comes first. */
void kro_release_dmi_ops(void);

#ifdef __cplusplus
}
#endif
#endif
