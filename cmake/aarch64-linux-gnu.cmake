# Cross build for the phone's CPU (aarch64) with Debian's cross toolchain
# (crossbuild-essential-arm64) against Debian's arm64 packages installed
# side by side through multiarch (libevent-dev:arm64, libgtest-dev:arm64, ...).
# The executables run on this machine through qemu-user and binfmt_misc.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# Host tools (pkg-config, python) come from this machine; libraries and their
# pkg-config files from the arm64 multiarch directories only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static)
