#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the programs need, when
# any is missing. Run as root (or with sudo available).
set -euo pipefail
PACKAGES=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev libssl-dev
  libicu-dev qt6-base-dev libxcb1-dev libudev-dev
  dosfstools mtools fdisk xvfb xauth
  nasm qemu-system-x86 clang gzip xz-utils
  dpkg-dev desktop-file-utils appstream
  g++-mingw-w64-x86-64 googletest wine wine64
)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
