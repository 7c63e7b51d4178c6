/* libwcs.so, the waveform control service library: it receives the DMI
 * operations table at bring-up and may call the operations on its threads. */
#ifndef WCS_H
#define WCS_H

#include <stddef.h>
#include <stdint.h>
#include "kor_modem.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct wcs_dmi_ops_st {
    uint32_t ops_tag; /* always 1 */
    int (*dmi_create)(dmi_channel *dmi);
    int (*dmi_delete)(const char *name);
    int (*hs_dmi_create)(dmi_channel *dmi);
} wcs_dmi_ops_st;

int wcs_init(int init_mode, wcs_dmi_ops_st *ops);
int wcs_deinit(void);
int wcs_modem_exception_notify(void);

#ifdef __cplusplus
static_assert(sizeof(wcs_dmi_ops_st) == 32, "libwcs ABI");
static_assert(offsetof(wcs_dmi_ops_st, dmi_create) == 8, "libwcs ABI");
static_assert(offsetof(wcs_dmi_ops_st, dmi_delete) == 16, "libwcs ABI");
static_assert(offsetof(wcs_dmi_ops_st, hs_dmi_create) == 24, "libwcs ABI");
}
#endif
#endif
