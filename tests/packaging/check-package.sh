#!/usr/bin/env bash
# Usage: check-package.sh BUILD_DIR VERSION
# Builds the Debian package from BUILD_DIR, unpacks it into a scratch root, and checks that every
# file sits where a Debian desktop program keeps it and that the installed tool runs.
set -euo pipefail
build=$1
version=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }
deb=$(find "$work/out" -maxdepth 1 -name 'korvane_*.deb' | head -n 1)
[ -n "$deb" ] || fail "no korvane_*.deb was built"
case "$(basename "$deb")" in
  korvane_${version}_*.deb) ;;
  *) fail "package file name $(basename "$deb") does not carry version $version" ;;
esac

root="$work/root"
dpkg-deb -x "$deb" "$root"
dpkg-deb -e "$deb" "$work/control"

for f in usr/bin/korvane usr/bin/korvane-demo usr/bin/korvane-cli \
         usr/share/applications/korvane.desktop \
         usr/share/icons/hicolor/scalable/apps/korvane.svg \
         usr/share/korvane/examples/demo-firmware.hex \
         usr/share/korvane/examples/demo-firmware.elc; do
  [ -e "$root/$f" ] || fail "missing /$f"
done
for f in usr/bin/korvane usr/bin/korvane-demo usr/bin/korvane-cli; do
  [ -x "$root/$f" ] || fail "/$f is not executable"
done
rules=$(find "$root/usr/lib/udev/rules.d" -name '*.rules' 2>/dev/null | head -n 1)
[ -n "$rules" ] || fail "no udev rule under /usr/lib/udev/rules.d"
grep -q '04d8' "$rules" && grep -q 'a5e2' "$rules" && grep -q 'uaccess' "$rules" \
  || fail "udev rule does not grant access to 04d8:a5e2"
grep -q '^Exec=korvane$' "$root/usr/share/applications/korvane.desktop" || fail "desktop Exec"
grep -q '^Icon=korvane$' "$root/usr/share/applications/korvane.desktop" || fail "desktop Icon"

control="$work/control/control"
grep -q "^Package: korvane$" "$control" || fail "package name"
grep -q "^Version: $version$" "$control" || fail "package version"
deps=$(grep '^Depends:' "$control")
for d in libqt6widgets6 libusb-1.0-0; do
  echo "$deps" | grep -q "$d" || fail "Depends lacks $d"
done
grep -q 'udevadm control --reload-rules' "$work/control/postinst" || fail "postinst reloads no udev rules"

cli="$root/usr/bin/korvane-cli"
out=$("$cli" --version)
echo "$out" | grep -q "$version" || fail "korvane-cli --version printed '$out'"
info=$("$cli" info --json "$root/usr/share/korvane/examples/demo-firmware.hex")
echo "$info" | grep -q '"highest_flash_address"' || fail "info printed '$info'"
"$cli" info "$root/usr/share/korvane/examples/demo-firmware.elc" >/dev/null || fail "info on the .elc"

echo "package $(basename "$deb"): layout and installed korvane-cli are fine"
