#!/usr/bin/env bash
# Reads CHANGELOG.md (entries "## VERSION - YYYY-MM-DD" with "- " items, newest first) and prints
#   changelog.sh version  CHANGELOG.md                      the top entry's version
#   changelog.sh debian   CHANGELOG.md PACKAGE MAINTAINER   the Debian changelog
#   changelog.sh metainfo CHANGELOG.md TEMPLATE             TEMPLATE with its line "@RELEASES@"
#                                                           replaced by AppStream <release>s
# It fails, naming the line, on a heading or line it cannot read, on an entry without items, and
# when the entries are not newest first.
set -euo pipefail

usage() {
  echo "usage: changelog.sh version|debian|metainfo CHANGELOG.md [PACKAGE MAINTAINER|TEMPLATE]" >&2
  exit 2
}
[ $# -ge 2 ] || usage
mode=$1
file=$2
case "$mode" in
  version) [ $# -eq 2 ] || usage ;;
  metainfo) [ $# -eq 3 ] || usage ;;
  debian) [ $# -eq 4 ] || usage ;;
  *) usage ;;
esac
[ -r "$file" ] || { echo "changelog.sh: cannot read $file" >&2; exit 1; }

# One record per item: ENTRY <tab> VERSION <tab> DATE <tab> TEXT, ENTRY counting the entries from
# the top (markdown backticks dropped, lines joined).
parse() {
  awk -v file="$file" '
    function fail(msg) { printf "%s:%d: %s\n", file, NR, msg > "/dev/stderr"; bad = 1; exit 1 }
    function flush() { if (item != "") { print entry "\t" version "\t" date "\t" item; items++ } item = "" }
    function endentry() { flush(); if (version != "" && items == 0) fail("release " version " lists no changes") }
    /^## / {
      endentry()
      if (!match($0, /^## [0-9][0-9A-Za-z.+~]* - [0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]$/))
        fail("expected \"## VERSION - YYYY-MM-DD\"")
      entry++; version = $2; date = $4; items = 0; next
    }
    version == "" { next }
    /^[-*] / { flush(); item = substr($0, 3); next }
    /^[ \t]+[^ \t]/ {
      if (item == "") fail("continuation line outside an item")
      line = $0; sub(/^[ \t]+/, "", line); item = item " " line; next
    }
    /^[ \t]*$/ { flush(); next }
    { fail("expected a \"- \" item") }
    END {
      if (bad) exit 1
      endentry()
      if (version == "") { printf "%s: no release entry\n", file > "/dev/stderr"; exit 1 }
    }' "$file" | sed 's/`//g'
}

records=$(parse)

# Newest first: versions strictly falling, dates not rising.
entries=$(cut -f1-3 <<<"$records" | uniq)
versions=$(cut -f2 <<<"$entries")
dates=$(cut -f3 <<<"$entries")
if [ "$(sort -V -r -u <<<"$versions")" != "$versions" ] || [ "$(sort -r <<<"$dates")" != "$dates" ]; then
  echo "changelog.sh: $file: the entries are not newest first (or a version repeats)" >&2
  exit 1
fi

case "$mode" in
  version)
    head -n 1 <<<"$versions"
    ;;
  debian)
    package=$3
    maintainer=$4
    while IFS= read -r version; do
      date=$(awk -F '\t' -v v="$version" '$2 == v { print $3; exit }' <<<"$records")
      # Noon of its day; a release on the day of an older one an hour later for each older one
      # of that day, since each Debian changelog entry must be dated after the one below it.
      older=$(awk -F '\t' -v v="$version" -v d="$date" \
        '$2 == v { seen = 1 } seen && $2 != v && $3 == d { n++ } END { print n + 0 }' <<<"$entries")
      stamp=$(LC_ALL=C date -u -R -d "$date 12:00:00 UTC + $older hours")
      echo "$package ($version) unstable; urgency=medium"
      echo
      # Each item as "  * " and its text, wrapped at 76 columns under itself.
      awk -F '\t' -v v="$version" '$2 == v {
          n = split($4, words, " "); line = "  *"
          for (i = 1; i <= n; i++) {
            if (length(line) + 1 + length(words[i]) > 76 && line != "  *") { print line; line = "   " }
            line = line " " words[i]
          }
          print line }' <<<"$records"
      echo
      echo " -- $maintainer  $stamp"
      echo
    done <<<"$versions"
    ;;
  metainfo)
    template=$3
    grep -qx '@RELEASES@' "$template" || { echo "changelog.sh: no @RELEASES@ line in $template" >&2; exit 1; }
    releases=$(while IFS= read -r version; do
      date=$(awk -F '\t' -v v="$version" '$2 == v { print $3; exit }' <<<"$records")
      echo "    <release version=\"$version\" date=\"$date\">"
      echo "      <description>"
      echo "        <ul>"
      awk -F '\t' -v v="$version" '$2 == v {
          t = $4; gsub(/&/, "\\&amp;", t); gsub(/</, "\\&lt;", t); gsub(/>/, "\\&gt;", t)
          print "          <li>" t "</li>" }' <<<"$records"
      echo "        </ul>"
      echo "      </description>"
      echo "    </release>"
    done <<<"$versions")
    while IFS= read -r line; do
      if [ "$line" = "@RELEASES@" ]; then printf '%s\n' "$releases"; else printf '%s\n' "$line"; fi
    done <"$template"
    ;;
esac
