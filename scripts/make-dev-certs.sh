#!/usr/bin/env bash
# Makes development certificates: a CA (its key kept, so that add-member.sh
# can issue more), a server certificate signed by it for the given host
# names and IP addresses, and one client certificate. Never overwrites a file.
# Usage: scripts/make-dev-certs.sh [DIR [HOST|IP]...]
#   DIR defaults to certs/ at the repository root; the names to localhost,
#   127.0.0.1 and ::1. -h, --help: this text.
set -euo pipefail

case ${1:-} in
  -h|--help) sed -n '2,/^set -euo/{/^set /d;s/^# \{0,1\}//;p;}' "$0"; exit 0 ;;
  -*) echo "make-dev-certs: unknown option $1; try 'scripts/make-dev-certs.sh --help'" >&2; exit 2 ;;
esac

root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/certs}
shift || true
hosts=("$@")
[ ${#hosts[@]} -gt 0 ] || hosts=(localhost 127.0.0.1 ::1)
mkdir -p "$dir"
umask 077
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# shellcheck source=scripts/certs-lib.sh
. "$root/scripts/certs-lib.sh"

# have NAME: true when both NAME.crt and NAME.key exist; refuses a lone half,
# which could only be completed by replacing the other.
have() {
  local crt="$dir/$1.crt" key="$dir/$1.key"
  if [ -e "$crt" ] && [ -e "$key" ]; then
    echo "kept $crt, $key"
    return 0
  fi
  if [ -e "$crt" ] || [ -e "$key" ]; then
    echo "make-dev-certs: $dir has only one of $1.crt and $1.key; remove it to start over" >&2
    exit 1
  fi
  return 1
}

if ! have ca; then
  make_ca ca "/CN=Chat Room Development CA"
  install_pair ca "$dir"
fi

# An address goes in as IP (IPv4 dotted, or anything with a colon), the rest as DNS.
names=()
for h in "${hosts[@]}"; do
  if [[ $h =~ ^[0-9]+(\.[0-9]+){3}$ || $h == *:* ]]; then names+=("IP:$h"); else names+=("DNS:$h"); fi
done
san=$(IFS=,; echo "${names[*]}")

# keyEncipherment: AES128-SHA carries the premaster secret under the RSA key.
if have server; then
  [ $# -eq 0 ] || echo "  (to name $* instead, remove $dir/server.crt and server.key first)"
else
  sign server "/CN=${hosts[0]}" "basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth
subjectAltName=$san" "$dir/ca.crt" "$dir/ca.key"
  install_pair server "$dir"
fi

if ! have client; then
  sign client "/CN=chat-client" "$client_extensions" "$dir/ca.crt" "$dir/ca.key"
  install_pair client "$dir"
fi
