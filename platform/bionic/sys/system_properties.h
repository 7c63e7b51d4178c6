/* The part of bionic's <sys/system_properties.h> that libcutils' packaged
 * <cutils/properties.h> includes: the size limits of a property.  glibc has
 * no such header; on a phone bionic provides this one, and the property calls
 * behind it (the host's simulated store, platform/sim/cutils, or phone-check's
 * link stubs stand in for them). */
#ifndef KORV_BIONIC_SYSTEM_PROPERTIES_H
#define KORV_BIONIC_SYSTEM_PROPERTIES_H

/* A name's and a value's room, their NUL included. */
#define PROP_NAME_MAX 32
#define PROP_VALUE_MAX 92

#endif
