#!/usr/bin/env bash
# Makes a release of the committed sources (HEAD) and leaves in dist/:
#   korvane_VERSION_ARCH.deb      the Debian package, built and tested here (build-release/)
#   korvane-VERSION-win32.zip     the Windows programs and libusb-1.0.dll, from
#                                 scripts/build-windows.sh, tested under Wine by
#                                 scripts/test-windows.sh
#   libusb-1.0_*.dsc and its files  the source of that libusb-1.0.dll, Debian's source package
#                                 exactly as scripts/libusb-windows.sh built it
#   korvane-VERSION-web.zip       the static site for the browser, from scripts/build-web.sh,
#                                 tested in headless Chromium by tests/web/run.sh
#   korvane-VERSION.tar.gz        the source tarball, git archive of HEAD
#   SHA256SUMS                    their checksums, for sha256sum -c
# VERSION is the one in project() in CMakeLists.txt; the script refuses to run when the top entry
# of CHANGELOG.md names another, or when tracked files differ from HEAD.
set -euo pipefail
cd "$(dirname "$0")/.."

fail() { echo "release: $*" >&2; exit 1; }

version=$(sed -n 's/^project(Korvane VERSION \([^ )]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || fail "no 'project(Korvane VERSION ...)' in CMakeLists.txt"
changelog_version=$(bash packaging/changelog.sh version CHANGELOG.md) || fail "CHANGELOG.md cannot be read"
if [ "$changelog_version" != "$version" ]; then
  fail "CMakeLists.txt says version $version, the top entry of CHANGELOG.md says $changelog_version;" \
    "add a CHANGELOG.md entry for $version (or set project() to $changelog_version) and commit"
fi

git rev-parse --verify -q HEAD >/dev/null || fail "not a git checkout: the source tarball comes from git"
if ! git diff --quiet HEAD --; then
  fail "tracked files differ from HEAD; commit them first, so that the packages and the source" \
    "tarball are made from the same sources"
fi

bash scripts/setup.sh

jobs=$(nproc)
[ "$jobs" -le 2 ] || jobs=2
export QT_QPA_PLATFORM=offscreen
# Manual pages and compressed files carry the date of the release commit, not of today.
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
export SOURCE_DATE_EPOCH

# Debian's build flags, with all hardening (fortified functions, immediate binding).
cppflags=$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get CPPFLAGS)
cxxflags=$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get CXXFLAGS)
ldflags=$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get LDFLAGS)

echo "== Korvane $version: Linux build and tests (build-release/)"
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVANE_BUILD_BENCH=OFF \
  -DCMAKE_CXX_FLAGS="$cppflags $cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >/dev/null
cmake --build build-release -j "$jobs"
ctest --test-dir build-release --output-on-failure -j "$jobs"

rm -rf dist build-release/package
mkdir -p dist
(cd build-release && cpack -G DEB -B package >/dev/null)
deb=$(find build-release/package -maxdepth 1 -name "korvane_${version}_*.deb")
[ "$(echo "$deb" | grep -c .)" -eq 1 ] || fail "cpack made no single korvane_${version}_*.deb"
cp "$deb" dist/

echo "== Korvane $version: Windows build and tests under Wine (build-windows/)"
zip_name="korvane-${version}-win32.zip"
# Drop a zip of an earlier run, so that only one made now can be taken.
if [ -d build-windows ]; then
  find build-windows -maxdepth 2 -name "$zip_name" -delete
fi
bash scripts/build-windows.sh
bash scripts/test-windows.sh
zip=$(find build-windows -maxdepth 2 -name "$zip_name" | head -n 1)
[ -n "$zip" ] || fail "scripts/build-windows.sh left no $zip_name in build-windows/"
cp "$zip" dist/
# libusb's source as the DLL in the zip was built from it: the .dsc and the files it lists,
# checked against it once more.
libusb_source=build-windows/libusb/i686/source
dsc=$(find "$libusb_source" -maxdepth 1 -name 'libusb-1.0_*.dsc')
[ "$(echo "$dsc" | grep -c .)" -eq 1 ] || fail "no single libusb-1.0 .dsc in $libusb_source"
cp "$libusb_source"/* dist/
(
  cd dist &&
    awk '/^Checksums-Sha256:/ { in_list = 1; next } /^[^ ]/ { in_list = 0 }
         in_list && NF == 3 { print $1 "  " $3 }' "$(basename "$dsc")" | sha256sum -c --quiet
) || fail "the libusb source in $libusb_source does not match its .dsc"

echo "== Korvane $version: web pages and their tests in headless Chromium (build-web/)"
web_name="korvane-${version}-web"
# A site of its own, without files an earlier build may have left.
rm -rf build-web/site "build-web/$web_name" "build-web/$web_name.zip"
bash scripts/build-web.sh
KORVANE_CLI="$PWD/build-release/bin/korvane-cli" bash tests/web/run.sh
cp -r build-web/site "build-web/$web_name"
(cd build-web && cmake -E tar cf "$web_name.zip" --format=zip \
  --mtime="$(date -u -d "@$SOURCE_DATE_EPOCH" '+%Y-%m-%d %H:%M:%S UTC')" -- "$web_name")
cp "build-web/$web_name.zip" dist/

echo "== Korvane $version: source tarball"
git archive --format=tar.gz --prefix="korvane-${version}/" -o "dist/korvane-${version}.tar.gz" HEAD

(
  cd dist
  sha256sum -- *.deb *.zip *.tar.gz libusb-1.0_* >SHA256SUMS
  sha256sum -c --quiet SHA256SUMS
)

echo "== Korvane $version: dist/"
for f in dist/*; do
  printf '%12s bytes  %s\n' "$(stat -c %s "$f")" "$f"
done
