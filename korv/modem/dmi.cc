/* DMI channel operations: create (plain and high-speed) and delete of the
 * named channels that the modem driver sets up between modem and AP.  They
 * are exported from the executable and handed to libwcs.so, which may call
 * them on its own threads; they keep no state of their own, reading
 * fd_modem as it is at the moment of the call, and report each channel the
 * driver created or deleted to the control socket's channel list. */
#include "modem/dmi.h"

#include <errno.h>
#include <string.h>

#include "ctl/ctl.h"
#include "kor_os.h"
#include "korv_log.h"
#include "kor_platform.h"
#include "modem/at_modem.h"

/* Channel names come from framework messages and may fill all 12 bytes;
 * the log gets a terminated copy. */
typedef struct dmi_name_st {
    char text[DMI_NAME_SIZE + 1];
} dmi_name_st;

static dmi_name_st name_of(const dmi_channel *dmi)
{
    dmi_name_st n;

    memset(&n, 0, sizeof(n));
    memcpy(n.text, dmi->name, DMI_NAME_SIZE);
    return n;
}

/* A create the driver answered: the channel joins the list. */
static int dmi_created(const dmi_channel *dmi, int rc)
{
    if (rc == 0)
        kro_ctl_stat_channel_created(dmi->name);
    return rc;
}

/* Asks the driver; logs the failure line and, for the creates, the errno
 * line (which has no newline of its own).  0 or -1. */
static int dmi_request(unsigned long request, void *arg, const char *failed_line,
                       const char *errno_line)
{
    int err;

    if (kor_ioctl(fd_modem, request, arg) != -1)
        return 0;
    err = errno;
    LOG_MODEM_ERR("%s", failed_line);
    if (errno_line != NULL)
        LOG_DMI_FLOW(errno_line, err, strerror(err));
    return -1;
}

int platform_manager_dmi_create(dmi_channel *dmi)
{
    if (dmi == NULL) {
        LOG_MODEM_ERR("[AT-MODEM][FLOW]: dmi_create dmi: {null} \n");
        return -1;
    }
    LOG_MODEM_FLOW("[AT-MODEM][FLOW]: dmi_create dmi: { name:%s, type:%d, u8:%d, cp2ap[0x%X, %d, "
                   "%d], ap2cp[0x%X, %d, %d]} \n",
                   name_of(dmi).text, (int)dmi->type, (int)dmi->property, dmi->cp2ap_addr,
                   (int)dmi->cp2ap_size, (int)dmi->cp2ap_ind, dmi->ap2cp_addr,
                   (int)dmi->ap2cp_size, (int)dmi->ap2cp_ind);
    return dmi_created(dmi, dmi_request(DMI_CREATE, dmi, "[AT-MODEM][FLOW]: dmi_create failed \n",
                                        "[ATIEXT][FLOW]platform_manager_dmi_create connect<=0 errno %d--%s"));
}

int platform_manager_hs_dmi_create(dmi_channel *dmi)
{
    if (dmi == NULL) {
        LOG_MODEM_ERR("[AT-MODEM][FLOW]: platform_manager_hs_dmi_create dmi: {null} \n");
        return -1;
    }
    /* The high-speed fields are logged whatever the type says. */
    LOG_MODEM_FLOW("[AT-MODEM][FLOW]: platform_manager_hs_dmi_create dmi: { name:%s, type:%lu, "
                   "u8:%lu, cp2ap[0x%X, %lu, %lu], ap2cp[0x%X, %lu, %lu]} \n",
                   name_of(dmi).text, (unsigned long)dmi->type, (unsigned long)dmi->property,
                   dmi->cp2ap_addr, (unsigned long)dmi->cp2ap_size,
                   (unsigned long)dmi->cp2ap_ind, dmi->ap2cp_addr,
                   (unsigned long)dmi->ap2cp_size, (unsigned long)dmi->ap2cp_ind);
    LOG_MODEM_FLOW("[AT-MODEM][FLOW]: platform_manager_hs_dmi_create dmi222: {  "
                   "cp2ap_pkt_maxnum:%lu, cp2ap_pkt_maxsize:%lu, ap2cp_pkt_maxnum: %lu, "
                   "ap2cp_pkt_maxsize:%lu, cp2ap_ctl_id:%lu, ap2cp_ctl_id:%lu \n",
                   (unsigned long)dmi->cp2ap_pkt_maxnum, (unsigned long)dmi->cp2ap_pkt_maxsize,
                   (unsigned long)dmi->ap2cp_pkt_maxnum, (unsigned long)dmi->ap2cp_pkt_maxsize,
                   (unsigned long)dmi->cp2ap_ctl_id, (unsigned long)dmi->ap2cp_ctl_id);
    return dmi_created(dmi, dmi_request(DMI_CREATE, dmi, "[AT-MODEM][FLOW]: platform_manager_hs_dmi_create failed \n",
                                        "[ATIEXT][FLOW]platform_manager_hs_dmi_create connect<=0 errno %d--%s"));
}

int platform_manager_dmi_delete(const char *name)
{
    if (name == NULL) {
        LOG_MODEM_ERR("[AT-MODEM][FLOW]: dmi_delete dmi_name: {null} \n");
        return -1;
    }
    LOG_MODEM_FLOW("[AT-MODEM][FLOW]: dmi_delete dmi_name: %s \n",
                   name);
    /* The driver gets the name text itself, not a record. */
    if (dmi_request(DMI_DELETE, (void *)name, "[AT-MODEM][FLOW]: dmi_delete failed \n", NULL) != 0)
        return -1;
    kro_ctl_stat_channel_deleted(name);
    return 0;
}
