#!/usr/bin/env bash
# Builds and runs the Windows tests under Wine, in a Wine prefix of their own under Xvfb, and
# removes the prefix afterwards. Arguments go to ctest (for example -R korvane_windows).
#
# The shipped programs are 32-bit (build-windows/). Where this machine can start 32-bit programs
# the tests run in that build; where it cannot (a kernel without 32-bit support), the same
# sources are built as 64-bit programs in build-windows-x64/ and the tests run there.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/build-windows.sh --deps-only

jobs=$(nproc)
if [ "$jobs" -gt 2 ]; then
  jobs=2
fi

export WINEDEBUG=-all
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  build=build-windows
  arch=i686
  toolchain=cmake/mingw-w64-i686.cmake
  loader=/usr/lib/wine/wine
  server=/usr/lib/wine/wineserver32
  [ -x /usr/lib/wine/wineserver64 ] && server=/usr/lib/wine/wineserver64
else
  echo "This machine cannot start 32-bit programs: the Windows tests run on 64-bit programs" \
    "built from the same sources (build-windows-x64/)."
  build=build-windows-x64
  arch=x86_64
  toolchain=cmake/mingw-w64-x86_64.cmake
  loader=/usr/lib/wine/wine64
  server=/usr/lib/wine/wineserver64
fi
export WINELOADER=$loader WINESERVER=$server

bash scripts/libusb-windows.sh "$build" "$arch"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" >/dev/null
cmake --build "$build" -j "$jobs"

scratch=$(mktemp -d)
export WINEPREFIX="$scratch/wine"
cleanup() {
  # Waits for this prefix's Wine server to end; other prefixes are not touched.
  "$WINESERVER" -w 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT

"$loader" wineboot -i >/dev/null 2>&1
# Wine's own fonts (MS Sans Serif, Marlett for the caption buttons) into the prefix's font folder,
# where every Wine build finds them.
cp /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/"
# Without a window manager Wine waits on every window hide unless its windows are unmanaged.
"$loader" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
"$WINESERVER" -w

xvfb-run -a -s "-screen 0 1280x1024x24" \
  ctest --test-dir "$build" --output-on-failure -j "$jobs" "$@"
