/* Link-time stand-in for the modem maker's libwcs.so, which ships as a
 * prebuilt of its own: its entry points, checked against its header.  Never
 * run; every call fails. */
#include "wcs.h"

int wcs_init(int init_mode, wcs_dmi_ops_st *ops)
{
    (void)init_mode;
    (void)ops;
    return -1;
}

int wcs_deinit(void)
{
    return -1;
}

int wcs_modem_exception_notify(void)
{
    return -1;
}
