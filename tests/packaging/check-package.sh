#!/usr/bin/env bash
# Usage: check-package.sh BUILD_DIR VERSION SOURCE_DIR
# Builds the Debian package from BUILD_DIR, unpacks it into a scratch root, and checks that every
# file sits where a Debian desktop program keeps it, that the installed tool runs, that lintian
# finds nothing above info level, that the manual pages render and that the desktop entry and
# the AppStream metadata validate.
set -euo pipefail
build=$1
version=$2
source=$3
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

for f in usr/bin/korvane usr/bin/korvane-demo usr/bin/korvane-cli usr/bin/korvane-gadget \
         usr/share/applications/korvane.desktop \
         usr/share/icons/hicolor/scalable/apps/korvane.svg \
         usr/share/korvane/examples/demo-firmware.hex \
         usr/share/korvane/examples/demo-firmware.elc; do
  [ -e "$root/$f" ] || fail "missing /$f"
done
for f in usr/bin/korvane usr/bin/korvane-demo usr/bin/korvane-cli usr/bin/korvane-gadget; do
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
out=$("$root/usr/bin/korvane-gadget" --version)
[ "$out" = "korvane-gadget $version" ] || fail "korvane-gadget --version printed '$out'"
info=$("$cli" info --json "$root/usr/share/korvane/examples/demo-firmware.hex")
echo "$info" | grep -q '"highest_flash_address"' || fail "info printed '$info'"
"$cli" info "$root/usr/share/korvane/examples/demo-firmware.elc" >/dev/null || fail "info on the .elc"

# The window programs answer --version before Qt starts: without any display.
for p in korvane korvane-demo; do
  out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM timeout 20 "$root/usr/bin/$p" --version 2>&1) \
    || fail "$p --version failed: $out"
  [ "$out" = "$p $version" ] || fail "$p --version printed '$out'"
done

# Debian's own checker: nothing above info level.
lintian --fail-on error,warning "$deb" >"$work/lintian.log" 2>&1 || {
  cat "$work/lintian.log"
  fail "lintian reports errors or warnings (or did not run: scripts/setup.sh installs it)"
}

# The changelog's newest entry is this version (CHANGELOG.md's top entry and project() agree).
changelog="$root/usr/share/doc/korvane/changelog.gz"
[ -f "$changelog" ] || fail "missing /usr/share/doc/korvane/changelog.gz"
top=$(zcat "$changelog" | dpkg-parsechangelog -l - -S Version)
[ "$top" = "$version" ] || fail "the changelog's newest entry is $top, the package is $version"

# Manual pages render without a warning; korvane-cli's has a part for each subcommand.
for p in korvane korvane-demo korvane-cli korvane-gadget; do
  page="$root/usr/share/man/man1/$p.1.gz"
  [ -f "$page" ] || fail "missing /usr/share/man/man1/$p.1.gz"
  MANWIDTH=80 man --warnings -E UTF-8 -l "$page" >"$work/$p.txt" 2>"$work/$p.err" \
    || fail "man cannot render the page of $p"
  [ ! -s "$work/$p.err" ] || { cat "$work/$p.err"; fail "the page of $p renders with warnings"; }
  grep -q "^NAME" "$work/$p.txt" && grep -q "^ *$p - " "$work/$p.txt" \
    || fail "the page of $p has no NAME line"
done
for sub in info export scramble detect update reset; do
  grep -Eq "^   korvane-cli $sub( |$)" "$work/korvane-cli.txt" \
    || fail "korvane-cli's page has no part for the subcommand $sub"
done

# The desktop entry and the AppStream metadata validate; the metadata names the installed
# programs and pictures that the documentation holds.
desktop-file-validate "$root/usr/share/applications/korvane.desktop" || fail "desktop-file-validate"
metainfo=$(find "$root/usr/share/metainfo" -name '*.metainfo.xml' 2>/dev/null)
[ "$(echo "$metainfo" | grep -c .)" -eq 1 ] || fail "not exactly one /usr/share/metainfo/*.metainfo.xml"
appstreamcli validate --no-net "$metainfo" >"$work/appstream.log" 2>&1 \
  || { cat "$work/appstream.log"; fail "appstreamcli validate"; }
provided=$(sed -n 's|.*<binary>\(.*\)</binary>.*|\1|p' "$metainfo" | sort)
installed=$(ls "$root/usr/bin" | sort)
[ "$provided" = "$installed" ] || fail "the metadata provides '$provided', /usr/bin holds '$installed'"
shots=$(sed -n 's|.*<image>.*/\([^/]*\)</image>.*|\1|p' "$metainfo")
[ -n "$shots" ] || fail "the metadata shows no screenshot"
for shot in $shots; do
  [ -f "$source/docs/$shot" ] || fail "screenshot $shot is not in docs/"
done

echo "package $(basename "$deb"): layout, lintian, manual pages and metadata are fine"
