#!/usr/bin/env bash
# Installs everything the build, the tests and the tool need on a Debian
# machine (run as root, or with sudo available). Does nothing when all is
# there already.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  clang-14 libclang-rt-14-dev
  googletest libgtest-dev libbenchmark-dev
  g++-mingw-w64-i686 mingw-w64-i686-dev binutils-mingw-w64-i686
  wine wine32:i386
  libcfitsio-dev libpng-dev libcli11-dev libusb-1.0-0-dev
  libopencv-imgproc-dev
  libindi-dev indi-bin
  fitsverify python3 python3-astropy python3-numpy
  kstars xvfb xauth dbus-x11 qdbus-qt5
  qemu-system-x86 qemu-system-data qemu-system-common busybox-static kmod cpio xz-utils
)

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}" >&2
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q "${missing[@]}"
