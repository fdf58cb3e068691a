#!/usr/bin/env bash
# Makes development certificates: a CA (its key kept, so that add-member.sh
# can issue members' certificates) and a server certificate signed by it for
# the given host names and IP addresses. The CA can vouch for those names
# only (X.509 name constraints), so a friend may install it as a trusted root
# without trusting it for any other site. Members' certificates come from
# add-member.sh. Never overwrites a file.
# Usage: scripts/make-dev-certs.sh [--lan] [DIR [HOST|IP]...]
#   DIR defaults to certs/ at the repository root; the names to localhost,
#   127.0.0.1 and ::1.
#   --lan       also this machine's host name and its network addresses (as
#               `hostname` and `hostname -I` print them), so that a phone or a
#               laptop on the same network can open the web page
#   -h, --help  this text
# A CA made earlier keeps the names it was made for: to name others, start
# a new set in another DIR (members then need new certificates).
set -euo pipefail

lan=false
while [ $# -gt 0 ]; do
  case $1 in
    -h|--help) sed -n '2,/^set -euo/{/^set /d;s/^# \{0,1\}//;p;}' "$0"; exit 0 ;;
    --lan) lan=true; shift ;;
    --) shift; break ;;
    -*) echo "make-dev-certs: unknown option $1; try 'scripts/make-dev-certs.sh --help'" >&2; exit 2 ;;
    *) break ;;
  esac
done

root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/certs}
shift || true
given=("$@")
for h in "${given[@]}"; do
  [[ $h != -* ]] || { echo "make-dev-certs: $h: options go before DIR; try 'scripts/make-dev-certs.sh --help'" >&2; exit 2; }
done
[ ${#given[@]} -gt 0 ] || given=(localhost 127.0.0.1 ::1)
if $lan; then
  # shellcheck disable=SC2207
  given+=("$(hostname)" $(hostname -I))
fi
hosts=()
for h in "${given[@]}"; do
  [[ " ${hosts[*]} " == *" $h "* ]] || hosts+=("$h")
done
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

# An address goes in as IP (IPv4 dotted, or anything with a colon), the rest
# as DNS; the CA may vouch for exactly these, each address alone (a full
# mask) and each DNS name with the names under it.
names=()
permitted=()
dns=0
for h in "${hosts[@]}"; do
  if [[ $h =~ ^[0-9]+(\.[0-9]+){3}$ ]]; then
    names+=("IP:$h")
    permitted+=("permitted;IP:$h/255.255.255.255")
  elif [[ $h == *:* ]]; then
    names+=("IP:$h")
    permitted+=("permitted;IP:$h/ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff")
  else
    names+=("DNS:$h")
    permitted+=("permitted;DNS:$h")
    dns=$((dns + 1))
  fi
done
# OpenSSL checks a CN that looks like a host name against the DNS
# constraints when a certificate has no DNS name: the members' one name
# (certs-lib.sh), and the server's CN when it is an address and the only
# kind of name the server has.
permitted+=("permitted;DNS:$member_dns")
[ "$dns" -gt 0 ] || [[ ${hosts[0]} == *:* ]] || permitted+=("permitted;DNS:${hosts[0]}")
san=$(IFS=,; echo "${names[*]}")

if ! have ca; then
  make_ca ca "/CN=Chat Room Development CA" rsa \
    "nameConstraints=critical,$(IFS=,; echo "${permitted[*]}")"
  install_pair ca "$dir"
fi

# keyEncipherment: AES128-SHA carries the premaster secret under the RSA key.
if have server; then
  [ $# -eq 0 ] && ! $lan || echo "  (to name ${hosts[*]} instead, remove $dir/server.crt and server.key first)"
else
  sign server "/CN=${hosts[0]}" "basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth
subjectAltName=$san" "$dir/ca.crt" "$dir/ca.key"
  # A CA kept from before may have been made for other names.
  if ! openssl verify -CAfile "$dir/ca.crt" -purpose sslserver "$work/server.crt" \
    >"$work/verify.log" 2>&1; then
    echo "make-dev-certs: the CA in $dir cannot vouch for ${hosts[*]}:" >&2
    grep -v '^error .*verification failed$' "$work/verify.log" >&2 || true
    echo "  start a new set in another directory (members then need new certificates)" >&2
    exit 1
  fi
  install_pair server "$dir"
  echo "  for ${hosts[*]}"
fi
