#!/usr/bin/env bash
# Installs the Debian packages the project needs, only when one is missing.
# --fuzz: also clang and its libFuzzer runtime (scripts/fuzz.sh).
set -euo pipefail
case ${1:-} in -h | --help) sed -n '2,/^set -euo/{/^set /d;s/^# \{0,1\}//;p;}' "$0"; exit 0 ;; esac

packages=(cmake g++ make pkg-config libssl-dev libgtest-dev libgmock-dev libbenchmark-dev
          nlohmann-json3-dev libedit-dev libsystemd-dev openssl libboost-dev libwslay-dev
          libutf8proc-dev libicu-dev
          systemd iproute2 util-linux  # the tests: systemd-socket-activate, ip, unshare
          dpkg-dev help2man procps  # the package: cpack, man pages, its unit's kill
          certbot pebble  # the ACME test: the client the README names, the test server
          libnss3-tools  # certutil: a trust store for the browser's check of the CA
          librsvg2-bin  # the web app's PNG icons, drawn from its SVG at build time
          qrencode)  # add-member.sh: the invitation link as a QR code
if [ "${1:-}" = --fuzz ]; then
  packages+=(clang libclang-rt-dev)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
fi
