#!/usr/bin/env bash
# Installs the Debian packages named on the command line that are not installed yet, with
# apt-get (through sudo when not root). Silent when everything is there. Packages of another
# architecture ("wine32:i386") add that architecture first. Used by the other scripts.
set -euo pipefail

missing=()
for p in "$@"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -gt 0 ] || exit 0

if [ "$(id -u)" -ne 0 ]; then
  SUDO=sudo
else
  SUDO=
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
for p in "${missing[@]}"; do
  case "$p" in
    *:*)
      arch=${p##*:}
      if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
        $SUDO dpkg --add-architecture "$arch"
      fi
      ;;
  esac
done
# Others may be running apt on the same machine: wait for the lock instead of failing.
apt_options=(-o DPkg::Lock::Timeout=900 -qq)
$SUDO apt-get "${apt_options[@]}" update
$SUDO apt-get "${apt_options[@]}" install -y --no-install-recommends "${missing[@]}" >/dev/null
