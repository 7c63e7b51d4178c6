# Cross build for the phone's CPU (aarch64) with Debian's cross toolchain
# (crossbuild-essential-arm64) against Debian's arm64 packages installed
# side by side through multiarch (libgtest-dev:arm64, ...), and libevent-dev:arm64
# unpacked into KORV_ARM64_DEPS by cmake/arm64-host.sh.
# The executables run on this machine through qemu-user and binfmt_misc.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# Host tools (pkg-config, python) come from this machine; libevent's
# pkg-config files from the unpacked package, whose paths pkg-config prefixes
# with its directory.
set(KORV_ARM64_DEPS "${CMAKE_CURRENT_LIST_DIR}/../build/arm64-deps" CACHE PATH "unpacked libevent-dev:arm64")
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${KORV_ARM64_DEPS})
set(ENV{PKG_CONFIG_LIBDIR} ${KORV_ARM64_DEPS}/usr/lib/aarch64-linux-gnu/pkgconfig)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static)
