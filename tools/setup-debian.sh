#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing the tool need, when any is missing.
# Run as root (or through sudo).
set -euo pipefail

packages=(
  cmake ninja-build g++ clang clang-format pkg-config git
  libgtest-dev libgmock-dev libbenchmark-dev
  libudev-dev umockdev libumockdev-dev
  qt6-base-dev xvfb xauth fonts-noto-cjk fonts-dejavu-core
  dpkg-dev
  qemu-system-x86
  # The Windows build: mingw-w64's posix-thread compilers, Wine to test it, NSIS for the installer.
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  wine wine64 libwine fonts-wine nsis unzip
  # Screenshots of the Windows window (tools/screenshot-windows.sh).
  imagemagick locales libxrender1 libxcursor1 libxrandr2 libxi6 libxcomposite1 libxinerama1
  libxfixes3
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi
