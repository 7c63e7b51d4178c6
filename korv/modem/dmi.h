/* DMI channel operations: exported from the executable and handed to
 * libwcs.so in wcs_dmi_ops_st.  0 on success, -1 on failure. */
#ifndef DMI_H
#define DMI_H

#include "kor_modem.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Creates the DMI channel that dmi describes (driver request DMI_CREATE). */
int platform_manager_dmi_create(dmi_channel *dmi);
/* The same for a high-speed channel, logged with its high-speed fields. */
int platform_manager_hs_dmi_create(dmi_channel *dmi);
/* Deletes the DMI channel of that name (driver request DMI_DELETE). */
int platform_manager_dmi_delete(const char *name);

#ifdef __cplusplus
}
#endif
#endif
