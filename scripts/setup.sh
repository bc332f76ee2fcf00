#!/usr/bin/env bash
# Installs every Debian package that building, running and testing Korvane needs.
# Idempotent: when everything is present it prints nothing and changes nothing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  clang libclang-rt-14-dev clang-format
  libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libusb-1.0-0-dev libcli11-dev nlohmann-json3-dev libpq-dev
  umockdev libumockdev-dev
  xvfb xauth fonts-dejavu-core
  srecord dpkg-dev file
  lintian help2man man-db groff-base appstream desktop-file-utils
)

bash "$(dirname "$0")/install-packages.sh" "${packages[@]}"
