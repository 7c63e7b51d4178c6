# What a phone's platform gives korv's modules, and where phone-check takes
# each from on this machine: the one place that names them.  For every
# library a module lists in shared_libs that Android.bp does not build,
# NAME_CFLAGS (its headers), NAME_LIBS (what to link) and NAME_DEPS (what must
# be built first).
#
# - libcutils, liblog: Debian's packages of the AOSP sources
#   (android-libcutils-dev, android-liblog-dev).
# - The system-property calls (property_get, property_set): on a phone
#   libcutils makes them on bionic's property area; Debian's libcutils is built
#   without them and glibc has no <sys/system_properties.h>.  bionic's limits
#   come from platform/bionic, the calls from stubs/properties.c (link-only:
#   nothing here runs).
# - libevent: Debian's, which keeps evthread_use_pthreads in a library of its
#   own (libevent_pthreads); a phone's libevent.so has it built in.
# - libwcs: the modem maker's prebuilt, nothing packaged: stubs/wcs.c has its
#   entry points, compiled against its header (libwcs/include).
# - The amt helper and bw-dump are the modem maker's too, but korv only
#   opens and runs them at run time: nothing is linked.

ANDROID_LIBDIR := /usr/lib/$(shell $(CC) -print-multiarch)/android
ANDROID_INCLUDE := /usr/include/android
STUBS := $(patsubst %/,%,$(dir $(lastword $(MAKEFILE_LIST))))/stubs

libcutils_CFLAGS := -I$(ANDROID_INCLUDE) -I$(SRC)/platform/bionic
libcutils_LIBS := -L$(ANDROID_LIBDIR) -Wl,-rpath,$(ANDROID_LIBDIR) -lcutils $(OUT)/stubs/libproperties.so
libcutils_DEPS := $(OUT)/stubs/libproperties.so

liblog_CFLAGS := -I$(ANDROID_INCLUDE)
liblog_LIBS := -L$(ANDROID_LIBDIR) -Wl,-rpath,$(ANDROID_LIBDIR) -llog
liblog_DEPS :=

libevent_CFLAGS := $(shell pkg-config --cflags libevent libevent_pthreads)
libevent_LIBS := $(shell pkg-config --libs libevent libevent_pthreads)
libevent_DEPS :=

libwcs_CFLAGS :=
libwcs_LIBS := $(OUT)/stubs/libwcs.so
libwcs_DEPS := $(OUT)/stubs/libwcs.so

$(OUT)/stubs/libproperties.so: $(STUBS)/properties.c
	@mkdir -p $(@D)
	$(CC) -shared -fPIC -Wall -Wextra $(libcutils_CFLAGS) -Wl,-soname,libproperties.so -o $@ $<

$(OUT)/stubs/libwcs.so: $(STUBS)/wcs.c
	@mkdir -p $(@D)
	$(CC) -shared -fPIC -Wall -Wextra -I$(SRC)/libwcs/include -I$(SRC)/adapter -Wl,-soname,libwcs.so -o $@ $<
