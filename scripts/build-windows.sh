#!/usr/bin/env bash
# Cross-builds the Windows programs (32-bit, statically linked) and libusb-1.0.dll (built from
# Debian's sources) into build-windows/ and leaves korvane.exe, korvane-demo.exe, korvane-cli.exe
# and libusb-1.0.dll in build-windows/bin/. Installs the cross compiler and Wine first when they are missing; silent
# when everything is present.
#   --deps-only   install what is needed and stop
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  cmake ninja-build
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools
  wine wine64 wine32:i386 fonts-wine
  googletest libcli11-dev nlohmann-json3-dev
  xvfb xauth
  dpkg-dev make bzip2 xz-utils
)

bash scripts/install-packages.sh "${packages[@]}"

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
