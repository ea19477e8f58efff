#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the sample images need.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
$SUDO apt-get update -qq
$SUDO apt-get install -y -q --no-install-recommends \
    cmake make g++ pkg-config clang-format gettext \
    googletest libgtest-dev libbenchmark-dev \
    libntfs-3g89 ntfs-3g ntfs-3g-dev \
    libhivex-dev libhivex-bin libwin-hivex-perl \
    libmspack-dev cabextract gcab mscompress \
    zlib1g-dev genisoimage xorriso \
    dosfstools mtools \
    qemu-utils fdisk \
    python3 xz-utils nlohmann-json3-dev \
    dpkg-dev file groff-base lintian \
    mingw-w64 g++-mingw-w64-x86-64-posix wine wine64 xvfb x11-apps imagemagick \
    fonts-ipafont-gothic fonts-wine
