#!/usr/bin/env bash
# Cross-builds libusb-1.0 for Windows from the sources of the Debian package the Linux build uses,
# as a DLL of its own that the programs load at run time, into BUILD/libusb/ARCH/:
#   bin/libusb-1.0.dll   the library; it imports Windows' own DLLs only (the mingw-w64 runtime is
#                        linked into it), which this script checks, as it checks the exports
#   include/             its header, which the programs are compiled against
#   source/              the Debian source package exactly as built (.dsc and its files)
#   COPYING              its licence (LGPL-2.1 or later)
# Once: a folder that holds the build of the same Debian version is left as it is, silently.
#   bash scripts/libusb-windows.sh BUILD ARCH      ARCH: i686 or x86_64
#
# The sources come through apt from a deb-src entry made for this call only, in a folder of its
# own (the machine's apt configuration and lists are not touched): apt checks the signed release
# files and the Sources index, and dpkg-source checks the tarballs against the .dsc.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -ne 2 ] || { [ "$2" != i686 ] && [ "$2" != x86_64 ]; }; then
  echo "usage: $0 BUILD-FOLDER i686|x86_64" >&2
  exit 2
fi
build=$1
arch=$2
host=$arch-w64-mingw32
cache=$(realpath -m "$build/libusb")
prefix=$cache/$arch

# The version of Debian's libusb: the one installed for the Linux build, else the one apt offers.
version=$(dpkg-query -W -f='${Version}' libusb-1.0-0-dev 2>/dev/null || true)
if [ -z "$version" ]; then
  version=$(apt-cache policy libusb-1.0-0-dev | sed -n 's/^ *Candidate: //p')
fi
if [ -z "$version" ] || [ "$version" = "(none)" ]; then
  echo "libusb-windows.sh: apt knows no libusb-1.0-0-dev package" >&2
  exit 1
fi
if [ "$(cat "$prefix/debian-version" 2>/dev/null || true)" = "$version" ] &&
  [ -f "$prefix/bin/libusb-1.0.dll" ]; then
  exit 0
fi

echo "Building libusb $version for $arch Windows from Debian's sources (once per build folder)"
mkdir -p "$cache"
work=$(mktemp -d "$cache/work.XXXXXX")
trap 'rm -rf "$work"' EXIT

# apt with a source list, lists and cache of its own: nothing of the machine's changes, and no
# root is needed.
mkdir -p "$work/apt/sources" "$work/apt/lists/partial" "$work/apt/cache/archives/partial"
: >"$work/apt/sources.list"
for file in /etc/apt/sources.list.d/*.sources; do
  [ -f "$file" ] && sed 's/^Types:.*/Types: deb-src/' "$file" >"$work/apt/sources/$(basename "$file")"
done
if [ -f /etc/apt/sources.list ]; then
  sed -n 's/^deb /deb-src /p' /etc/apt/sources.list >"$work/apt/sources/machine.list"
fi
apt_options=(
  -o "Dir::Etc::SourceList=$work/apt/sources.list" -o "Dir::Etc::SourceParts=$work/apt/sources"
  -o "Dir::State::Lists=$work/apt/lists" -o "Dir::Cache=$work/apt/cache"
  -o "APT::Sandbox::User=root" -qq
)
apt-get "${apt_options[@]}" update
(cd "$work" && apt-get "${apt_options[@]}" source --download-only "libusb-1.0=$version")
dsc=$(find "$work" -maxdepth 1 -name 'libusb-1.0_*.dsc' | head -n 1)
if [ -z "$dsc" ]; then
  echo "libusb-windows.sh: apt fetched no libusb-1.0 .dsc for $version" >&2
  exit 1
fi
# dpkg-source checks every file against the sizes and checksums in the .dsc. The .dsc's own
# signature would need Debian's keyring, which this machine need not have (it then only warns):
# the .dsc came through apt's signed index.
dpkg-source -x "$dsc" "$work/src" >"$work/unpack.log" 2>&1 || { cat "$work/unpack.log" >&2; exit 1; }

jobs=$(nproc)
if [ "$jobs" -gt 2 ]; then
  jobs=2
fi
rm -rf "$prefix"
(
  cd "$work/src"
  # libgcc goes into the DLL (libusb needs no other runtime piece), so that nothing but Windows'
  # own DLLs has to lie beside it; checked below.
  ./configure --host="$host" --enable-shared --disable-static --prefix="$prefix" \
    CC="$host-gcc-posix" CFLAGS="-O2" LDFLAGS="-static-libgcc" >"$work/configure.log" 2>&1 ||
    { cat "$work/configure.log" >&2; exit 1; }
  make -j "$jobs" >"$work/make.log" 2>&1 || { tail -n 50 "$work/make.log" >&2; exit 1; }
  make install-strip >/dev/null
)
dll=$prefix/bin/libusb-1.0.dll
[ -f "$dll" ] || { echo "libusb-windows.sh: the build left no $dll" >&2; exit 1; }
dump=$("$host-objdump" -p "$dll")
# It imports Windows' own DLLs only: no runtime DLL of the compiler has to lie beside it.
system_dlls=" advapi32.dll kernel32.dll msvcrt.dll ole32.dll setupapi.dll user32.dll "
imports=$(sed -n 's/^[[:space:]]*DLL Name: *//p' <<<"$dump" | tr '[:upper:]' '[:lower:]')
[ -n "$imports" ] || { echo "libusb-windows.sh: $dll imports nothing; is it a DLL?" >&2; exit 1; }
for name in $imports; do
  if [[ "$system_dlls" != *" $name "* ]]; then
    echo "libusb-windows.sh: $dll imports $name, which is not part of Windows" >&2
    exit 1
  fi
done
# Every function its header declares is exported under its plain name, which is what the
# programs look the functions up by.
declared=$(grep -oE 'LIBUSB_CALLV? +\**libusb_[a-z0-9_]+ *\(' "$prefix/include/libusb-1.0/libusb.h" |
  grep -oE 'libusb_[a-z0-9_]+' | sort -u)
exported=$(sed -nE 's/^[[:space:]]*\[ *[0-9]+\] (libusb_[a-z0-9_]+)$/\1/p' <<<"$dump" | sort -u)
[ -n "$declared" ] || { echo "libusb-windows.sh: no function found in libusb.h" >&2; exit 1; }
unexported=$(comm -23 <(echo "$declared") <(echo "$exported"))
if [ -n "$unexported" ]; then
  echo "libusb-windows.sh: $dll does not export" $unexported >&2
  exit 1
fi

# The source package exactly as built, for the release: the .dsc and the files it lists.
mkdir -p "$prefix/source"
cp "$dsc" "$prefix/source/"
for file in $(awk '/^Checksums-Sha256:/ { in_list = 1; next } /^[^ ]/ { in_list = 0 }
                   in_list && NF == 3 { print $3 }' "$dsc"); do
  cp "$work/$file" "$prefix/source/"
done
(cd "$prefix/source" && [ "$(ls | wc -l)" -ge 2 ]) ||
  { echo "libusb-windows.sh: $dsc lists no files" >&2; exit 1; }

# The upstream version ("1.0.26") for the test that checks the loaded library, then the Debian
# version, written last: it marks the folder complete.
pkgver=$(sed -n 's/^Version: *//p' "$prefix/lib/pkgconfig/libusb-1.0.pc")
echo "$pkgver" >"$prefix/upstream-version"
cp "$work/src/COPYING" "$prefix/COPYING"
echo "$version" >"$prefix/debian-version"
