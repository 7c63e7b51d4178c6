#!/usr/bin/env bash
# Prepares this machine for the arm64 build and its tests (make test-arm64,
# make run ARCH=arm64).  What it changes, and only when it is missing:
#   - dpkg gets arm64 as a foreign architecture (dpkg --add-architecture arm64),
#     so that Debian's arm64 libraries install beside the native ones;
#   - Debian packages: the cross toolchain, qemu-user-static, binfmt-support and
#     the arm64 packages of korv's dependencies;  libevent-dev is not
#     co-installable across architectures (installing the arm64 one removes
#     the native one), so its arm64 package is only unpacked into the build
#     tree (DEPS_DIR, the script's argument) and linked against the arm64
#     runtime libraries that are installed;  android-libcutils (with its
#     liblog and libbase) installs beside the native one, its linker link
#     included, and the native package's headers serve both;
#   - binfmt_misc: mounted if it is not, and the qemu-aarch64 handler enabled, so
#     that the kernel runs every aarch64 executable (and what it starts) under
#     qemu.
# As root it does this itself; otherwise it prints the commands and fails.
set -euo pipefail

PKGS="file crossbuild-essential-arm64 qemu-user-static binfmt-support libgtest-dev:arm64 libgmock-dev:arm64
      libstdc++6:arm64 libubsan1:arm64 libevent-core-2.1-7:arm64 libevent-pthreads-2.1-7:arm64
      android-libcutils:arm64"
DEPS_DIR=${1:?usage: arm64-host.sh DEPS_DIR}
LIBDIR=/usr/lib/aarch64-linux-gnu
BINFMT=/proc/sys/fs/binfmt_misc

todo=()
dpkg --print-foreign-architectures | grep -qx arm64 ||
    todo+=("dpkg --add-architecture arm64" "apt-get update")
missing=""
for p in $PKGS; do dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"; done
[ -z "$missing" ] || { [ ${#todo[@]} -gt 0 ] || todo+=("apt-get update"); todo+=("apt-get install -y$missing"); }
[ -e "$BINFMT/register" ] || todo+=("mount -t binfmt_misc binfmt_misc $BINFMT")
grep -qs '^enabled' "$BINFMT/qemu-aarch64" || todo+=("update-binfmts --enable qemu-aarch64")

# Unpacks libevent-dev:arm64 into DEPS_DIR: headers, pkg-config files, and the
# linker's .so links pointed at the installed arm64 runtime libraries.
unpack_libevent_dev() {
    [ -f "$DEPS_DIR$LIBDIR/pkgconfig/libevent_core.pc" ] && return 0
    local tmp
    tmp=$(mktemp -d)
    (cd "$tmp" && apt-get download -q libevent-dev:arm64 2>/dev/null)
    mkdir -p "$DEPS_DIR"
    dpkg-deb -x "$tmp"/libevent-dev_*_arm64.deb "$DEPS_DIR"
    rm -rf "$tmp"
    for link in "$DEPS_DIR$LIBDIR"/*.so; do
        ln -sfn "$LIBDIR/$(readlink "$link")" "$link"
    done
}

if [ ${#todo[@]} -eq 0 ]; then
    unpack_libevent_dev
    exit 0
fi
if [ "$(id -u)" != 0 ]; then
    echo "the arm64 build needs these changes to the machine; run as root:"
    printf '  %s\n' "${todo[@]}"
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
for cmd in "${todo[@]}"; do
    echo "arm64 set-up: $cmd"
    eval "$cmd"
done
unpack_libevent_dev
