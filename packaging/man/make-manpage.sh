#!/usr/bin/env bash
# Usage: make-manpage.sh PROGRAM INCLUDE OUTPUT.1.gz SOURCE NAME [--subcommands]
# Writes the manual page of PROGRAM with help2man from the program's own --help and --version and
# the hand-written sections in INCLUDE (a help2man include file), gzip-compressed to OUTPUT.
# With --subcommands the page also gets, under COMMANDS, the --help of every subcommand that
# "PROGRAM --help" lists, so that new subcommands appear without hand work.
set -euo pipefail
[ $# -eq 5 ] || [ $# -eq 6 ] || {
  echo "usage: make-manpage.sh PROGRAM INCLUDE OUTPUT.1.gz SOURCE NAME [--subcommands]" >&2
  exit 2
}
program=$1
include=$2
output=$3
source=$4
name=$5
subcommands=${6:-}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export LC_ALL=C.UTF-8

# help2man asks "PROGRAM --help" and "PROGRAM --version"; with --subcommands it asks a stand-in
# that answers --help with the combined text made here, where every failure stops the build.
target=$program
if [ "$subcommands" = "--subcommands" ]; then
  "$program" --help >"$work/top.txt"
  # The top-level help: its paragraph headings become sections ("Subcommands:" is COMMANDS,
  # "Exit codes:" is EXIT STATUS); help2man handles Usage, Options and Examples itself.
  awk 'BEGIN { RS = ""; ORS = "\n\n" }
    {
      n = split($0, line, "\n"); head = line[1]
      if (head ~ /^[A-Z][A-Za-z ]*:$/ && head !~ /^(Usage|Options|Examples|Environment|Files):$/) {
        title = substr(head, 1, length(head) - 1)
        if (title == "Subcommands") title = "Commands"
        if (title == "Exit codes") title = "Exit status"
        out = "*" title "*"
        for (i = 2; i <= n; i++) out = out "\n" line[i]
        print out
      } else if (head == "Examples:") {
        # Examples as command lines, which help2man sets verbatim.
        out = head
        for (i = 2; i <= n; i++) out = out "\n" (line[i] ~ /^ +[^ ]/ ? "  $ " substr(line[i], match(line[i], /[^ ]/)) : line[i])
        print out
      } else print
    }' "$work/top.txt" >"$work/help.txt"

  names=$(awk 'BEGIN { RS = "" } $1 == "Subcommands:" {
      n = split($0, line, "\n")
      for (i = 2; i <= n; i++) if (line[i] ~ /^  [a-z]/) { split(line[i], w, " "); print w[1] }
    }' "$work/top.txt")
  [ -n "$names" ] || { echo "make-manpage.sh: $program --help lists no subcommands" >&2; exit 1; }

  for sub in $names; do
    "$program" "$sub" --help >"$work/sub.txt"
    # One subsection per subcommand, headed by its usage line, then its description, its
    # arguments and options (without -h,--help), and any paragraph the top-level help lacks.
    printf '*Commands*\n' >>"$work/help.txt"
    awk 'BEGIN { RS = ""; ORS = "\n\n" }
      FNR == NR { top[$0] = 1; next }
      $0 in top { next }
      FNR == 1 {
        n = split($0, line, "\n"); usage = ""; about = ""
        for (i = 1; i <= n; i++)
          if (line[i] ~ /^Usage: /) usage = substr(line[i], 8)
          else about = about (about == "" ? "" : " ") line[i]
        if (usage == "") { print "no usage line in the help of a subcommand" > "/dev/stderr"; exit 1 }
        print usage ":\n  " (about == "" ? usage : about)
        next
      }
      $1 == "Positionals:" || $1 == "Options:" {
        n = split($0, line, "\n"); out = ""
        for (i = 2; i <= n; i++)
          if (line[i] !~ /^ +-h,--help /) out = out (out == "" ? "" : "\n") line[i]
        if (out != "") print out
        next
      }
      { print }' "$work/top.txt" "$work/sub.txt" >>"$work/help.txt"
  done

  target="$work/$(basename "$program")"
  cat >"$target" <<WRAP
#!/bin/sh
case "\$1" in
  --help) cat "$work/help.txt" ;;
  *) exec "$program" "\$@" ;;
esac
WRAP
  chmod +x "$target"
fi

help2man --no-info --section=1 --manual="User Commands" --source="$source" --name="$name" \
  --include="$include" --output="$work/page.1" "$target"
# help2man keeps the colon of a subsection heading; a heading reads better without it.
sed -i 's/^\.SS "\(.*\):"$/.SS "\1"/' "$work/page.1"
gzip -9n -c "$work/page.1" >"$output.tmp"
mv "$output.tmp" "$output"
