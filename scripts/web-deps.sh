#!/usr/bin/env bash
# Installs what the browser test (web/test/browser.e2e.mjs) needs: Debian's
# Chromium, and in web/ the locked devDependencies (puppeteer-core, which
# drives that Chromium and never downloads a browser of its own; axe-core,
# the accessibility scan).
set -euo pipefail
case ${1:-} in -h | --help) sed -n '2,/^set -euo/{/^set /d;s/^# \{0,1\}//;p;}' "$0"; exit 0 ;; esac
cd "$(dirname "$0")/.."

if ! dpkg-query -W -f='${Status}' chromium 2>/dev/null | grep -q 'install ok installed'; then
  echo "Installing: chromium"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq chromium
fi
(cd web && PUPPETEER_SKIP_DOWNLOAD=1 npm ci --no-audit --no-fund)
