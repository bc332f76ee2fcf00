#!/usr/bin/env bash
# Tests the web pages of build-web/site (made by scripts/build-web.sh) in headless Chromium:
# Debian's chromium, driven by playwright-core from npm (page.test.mjs). The packets of the page
# are compared with those of the native korvane-cli, so the native build (build/) comes first.
# Installs chromium and npm when they are missing; silent when everything is present.
#   KORVANE_CLI=PATH                the native korvane-cli (default build/bin/korvane-cli)
#   KORVANE_WEB_SCREENSHOTS=docs    also take the pictures of the page for the README
set -euo pipefail
cd "$(dirname "$0")"

# npm may come with a Node.js that is not Debian's: Debian's is installed only when there is none.
bash ../../scripts/install-packages.sh chromium $(command -v npm >/dev/null || echo npm)

# playwright-core is a library only: it brings no browser and downloads none.
export PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1
npm ci --silent --no-audit --no-fund

# A relative folder for the pictures is taken from the top of the source tree.
case "${KORVANE_WEB_SCREENSHOTS:-/}" in
  /*) ;;
  *) export KORVANE_WEB_SCREENSHOTS="$(cd ../.. && pwd)/$KORVANE_WEB_SCREENSHOTS" ;;
esac
node --test page.test.mjs
