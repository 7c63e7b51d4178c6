/* Sample amt helper module (amt.bw7720.misc.so): korv loads it in amt mode
 * and calls amtWriteEncryptDataFirst once.  The call is counted in the
 * property sim.amt.calls so that a test can see it happened. */
#include <stdio.h>
#include <stdlib.h>

#include "cutils/properties.h"

extern "C" __attribute__((visibility("default"))) int amtWriteEncryptDataFirst(void) {
    char value[PROPERTY_VALUE_MAX];
    property_get("sim.amt.calls", value, "0");
    char next[24];
    snprintf(next, sizeof next, "%ld", strtol(value, nullptr, 10) + 1);
    property_set("sim.amt.calls", next);
    return 0;
}
