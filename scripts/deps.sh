#!/usr/bin/env bash
# Installs the Debian packages the project needs, only when one is missing.
# --fuzz: also clang and its libFuzzer runtime (scripts/fuzz.sh).
# --bench: also ngIRCd, which scripts/bench-compare.sh measures beside our
# server. Its package starts and enables a service of its own on port 6667
# where systemd runs; a fresh install of it here is stopped and disabled again.
set -euo pipefail
case ${1:-} in -h | --help) sed -n '2,/^set -euo/{/^set /d;s/^# \{0,1\}//;p;}' "$0"; exit 0 ;; esac

packages=(cmake g++ make pkg-config libssl-dev libgtest-dev libgmock-dev libbenchmark-dev
          nlohmann-json3-dev libedit-dev libutf8proc-dev libsystemd-dev openssl libboost-dev libwslay-dev
          libicu-dev
          systemd iproute2 util-linux  # the tests: systemd-socket-activate, ip, unshare
          dpkg-dev help2man procps  # the package: cpack, man pages, its unit's kill
          certbot pebble  # the ACME test: the client the README names, the test server
          libnss3-tools  # certutil: a trust store for the browser's check of the CA
          librsvg2-bin  # the web app's PNG icons, drawn from its SVG at build time
          qrencode)  # add-member.sh: the invitation link as a QR code
case ${1:-} in
  --fuzz) packages+=(clang libclang-rt-dev) ;;
  --bench) packages+=(ngircd) ;;
esac
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
  if [[ " ${missing[*]} " == *" ngircd "* ]] && command -v systemctl >/dev/null; then
    "${sudo_cmd[@]}" systemctl disable --now ngircd >/dev/null 2>&1 || true
  fi
fi
