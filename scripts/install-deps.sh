#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the program need; skips those already there.
set -euo pipefail
packages=(
    cmake make g++ git clang-format
    clang libclang-rt-14-dev
    googletest libgtest-dev libbenchmark-dev
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
    binutils-mingw-w64-x86-64
    wine wine64 fonts-wine xvfb x11-utils imagemagick
    tgt libiscsi-dev pkg-config bc
    dpkg-dev man-db groff-base
    qemu-system-x86 qemu-block-extra kmod busybox-static dmsetup cpio xz-utils
    fp-utils python3
)
missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "Installing: ${missing[*]}" >&2
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
