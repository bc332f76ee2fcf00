#!/usr/bin/env bash
# Builds Korvane for the browser with emscripten into build-web/ and leaves the static site in
# build-web/site/: index.html (the real device over WebUSB) and demo.html (the built-in emulated
# device), with their .js and .wasm files, icons and example update files. Installs Debian's
# emscripten first when it is missing; silent when everything is present.
#   --deps-only   install what is needed and stop
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build emscripten node-acorn)

bash scripts/install-packages.sh "${packages[@]}"

if [ "${1:-}" = "--deps-only" ]; then
  exit 0
fi

# Debian's emcc runs its JavaScript tools with the system's node, which looks for acorn only in
# Debian's own module folder when told to.
export NODE_PATH=/usr/share/nodejs${NODE_PATH:+:$NODE_PATH}

jobs=$(nproc)
if [ "$jobs" -gt 2 ]; then
  jobs=2
fi
# emcmake names the cmake command it runs on standard error: dropped, errors pass.
emcmake cmake -S . -B build-web -G Ninja -DCMAKE_BUILD_TYPE=Release 2>&1 >/dev/null |
  sed '/^configure: cmake /d' >&2
cmake --build build-web -j "$jobs" --target korvane-site
