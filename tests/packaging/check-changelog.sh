#!/usr/bin/env bash
# Usage: check-changelog.sh SOURCE_DIR
# The CHANGELOG.md reader (packaging/changelog.sh) on changelogs of several releases and on broken
# ones, and scripts/release.sh refusing a version that CHANGELOG.md does not name.
set -euo pipefail
source=$1
reader="$source/packaging/changelog.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

cat >"$work/two.md" <<'EOF'
# Changelog

Text above the first entry is not part of any release.

## 2.1.0 - 2027-03-04

- Fixed `korvane-cli update` on a device that answers late, a change described at such length
  that the Debian changelog has to wrap it over more than one line of its own & <more>.
- A second change.

## 2.0.0 - 2026-12-07

- First release.
EOF

# Debian changelog: both releases, newest first, with their dates, lines within 80 columns.
bash "$reader" debian "$work/two.md" korvane "Korvane developers <korvane@example.com>" >"$work/changelog"
parsed=$(dpkg-parsechangelog -l "$work/changelog" --format rfc822 --all)
[ "$(echo "$parsed" | sed -n 's/^Version: //p' | tr '\n' ' ')" = "2.1.0 2.0.0 " ] \
  || fail "versions in the Debian changelog: $(echo "$parsed" | grep '^Version')"
echo "$parsed" | grep -qx "Date: Thu, 04 Mar 2027 12:00:00 +0000" || fail "date of 2.1.0"
echo "$parsed" | grep -qx "Distribution: unstable" || fail "distribution"
[ "$(grep -c '^  \* ' "$work/changelog")" -eq 3 ] || fail "not one '  * ' item per change"
! awk 'length > 80' "$work/changelog" | grep -q . || fail "changelog lines longer than 80 columns"
grep -q '^    .*<more>\.$' "$work/changelog" || fail "a long item does not go on over indented lines"
! grep -q '`' "$work/changelog" || fail "markdown backticks left in the Debian changelog"
[ "$(bash "$reader" version "$work/two.md")" = "2.1.0" ] || fail "version names another than the top entry"

# Releases on one day: each Debian entry dated after the one below it, as dpkg and lintian ask.
printf '## 2.2.0 - 2027-03-04\n- c\n\n## 2.1.1 - 2027-03-04\n- b\n\n## 2.1.0 - 2027-03-04\n- a\n' \
  >"$work/sameday.md"
bash "$reader" debian "$work/sameday.md" korvane "K <k@example.com>" >"$work/sameday"
[ "$(dpkg-parsechangelog -l "$work/sameday" --format rfc822 --all | sed -n 's/^Date: //p' | tr '\n' '|')" \
  = "Thu, 04 Mar 2027 14:00:00 +0000|Thu, 04 Mar 2027 13:00:00 +0000|Thu, 04 Mar 2027 12:00:00 +0000|" ] \
  || fail "releases of one day: $(grep '^ -- ' "$work/sameday")"

# AppStream metadata: the real template with both releases validates and lists them newest first.
template=$(find "$source/packaging/linux" -name '*.metainfo.xml.in')
bash "$reader" metainfo "$work/two.md" "$template" >"$work/test.metainfo.xml"
appstreamcli validate --no-net "$work/test.metainfo.xml" >"$work/appstream.log" 2>&1 \
  || { cat "$work/appstream.log"; fail "metadata with two releases does not validate"; }
[ "$(sed -n 's/.*<release version="\([^"]*\)" date="\([^"]*\)".*/\1 \2/p' "$work/test.metainfo.xml" | tr '\n' ' ')" \
  = "2.1.0 2027-03-04 2.0.0 2026-12-07 " ] || fail "release list of the metadata"

# Broken changelogs are refused, naming the line where it can.
refused() { # NAME EXPECTED-MESSAGE CONTENT
  printf '%b' "$3" >"$work/$1.md"
  if bash "$reader" version "$work/$1.md" >/dev/null 2>"$work/$1.err"; then
    fail "$1: accepted"
  fi
  grep -q "$2" "$work/$1.err" || fail "$1: said '$(cat "$work/$1.err")'"
}
refused order "not newest first" '## 2.0.0 - 2026-12-07\n- a\n\n## 2.1.0 - 2027-03-04\n- b\n'
refused older-date "not newest first" '## 2.1.0 - 2026-01-01\n- a\n\n## 2.0.0 - 2026-12-07\n- b\n'
refused repeated "not newest first" '## 2.0.0 - 2026-12-07\n- a\n\n## 2.0.0 - 2026-12-01\n- b\n'
refused heading "heading.md:1: expected" '## 2.0.0 (2026-12-07)\n- a\n'
refused empty "empty.md:3: release 2.1.0 lists no changes" '## 2.1.0 - 2027-03-04\n\n## 2.0.0 - 2026-12-07\n- a\n'
refused text "text.md:2:" '## 2.0.0 - 2026-12-07\nplain text\n'
refused none "no release entry" '# Changelog\n'

# release.sh stops before building anything when project() and CHANGELOG.md disagree.
mkdir -p "$work/tree/scripts" "$work/tree/packaging"
cp "$source/scripts/release.sh" "$work/tree/scripts/"
cp "$reader" "$work/tree/packaging/"
cp "$work/two.md" "$work/tree/CHANGELOG.md"
sed 's/^project(Korvane VERSION [^ )]*/project(Korvane VERSION 2.2.0/' "$source/CMakeLists.txt" \
  >"$work/tree/CMakeLists.txt"
if bash "$work/tree/scripts/release.sh" >"$work/release.out" 2>&1; then
  fail "release.sh ran with version 2.2.0 and a changelog topped by 2.1.0"
fi
grep -q "2.2.0.*2.1.0" "$work/release.out" || fail "release.sh said: $(cat "$work/release.out")"
[ ! -e "$work/tree/dist" ] || fail "release.sh made dist/ although it refused"

echo "changelog reader and release version check are fine"
