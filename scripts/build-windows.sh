#!/usr/bin/env bash
# Cross-builds the Windows programs (32-bit, statically linked, with libusb built from Debian's
# sources) into build-windows/ and leaves korvane.exe, korvane-demo.exe and korvane-cli.exe in
# build-windows/bin/. Installs the cross compiler and Wine first when they are missing; silent
# when everything is present.
#   --deps-only   install what is needed and stop
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  cmake ninja-build
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools
  wine wine64 wine32:i386 fonts-wine
  googletest libcli11-dev
  xvfb xauth
  dpkg-dev make bzip2 xz-utils
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    SUDO=sudo
  else
    SUDO=
  fi
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # Others may be running apt on the same machine: wait for the lock instead of failing.
  apt_options=(-o DPkg::Lock::Timeout=900 -qq)
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
  fi
  $SUDO apt-get "${apt_options[@]}" update
  $SUDO apt-get "${apt_options[@]}" install -y --no-install-recommends "${missing[@]}" >/dev/null
fi

if [ "${1:-}" = "--deps-only" ]; then
  exit 0
fi

jobs=$(nproc)
if [ "$jobs" -gt 2 ]; then
  jobs=2
fi
# libusb from Debian's sources, built once into build-windows/libusb/.
bash scripts/libusb-windows.sh build-windows i686
cmake -S . -B build-windows -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake >/dev/null
cmake --build build-windows -j "$jobs"
# The download: build-windows/korvane-<version>-win32.zip.
(cd build-windows && cpack -G ZIP >/dev/null)
