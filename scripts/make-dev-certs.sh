#!/usr/bin/env bash
# Makes development certificates: a CA, a server certificate signed by it for
# localhost and 127.0.0.1, and one client certificate. Never overwrites a file.
# Usage: scripts/make-dev-certs.sh [DIR]   (default: certs/ at the repo root)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/certs}
mkdir -p "$dir"
umask 077
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

days=825

# quietly CMD...: runs openssl without its progress dots, showing them on failure.
quietly() {
  "$@" 2>"$work/openssl.log" || { cat "$work/openssl.log" >&2; exit 1; }
}

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

# install NAME: moves the new pair in without replacing anything.
install_pair() {
  local name=$1
  chmod 600 "$work/$name.key"
  chmod 644 "$work/$name.crt"
  mv -n "$work/$name.key" "$dir/$name.key"
  mv -n "$work/$name.crt" "$dir/$name.crt"
  echo "made $dir/$name.crt, $dir/$name.key"
}

# sign NAME SUBJECT EXTENSIONS: a new RSA key and a certificate from the CA.
sign() {
  local name=$1 subject=$2 extensions=$3
  printf '%s\n' "$extensions" >"$work/$name.ext"
  quietly openssl req -new -newkey rsa:2048 -nodes -sha256 -subj "$subject" \
    -keyout "$work/$name.key" -out "$work/$name.csr"
  quietly openssl x509 -req -sha256 -days "$days" -in "$work/$name.csr" \
    -CA "$dir/ca.crt" -CAkey "$dir/ca.key" -set_serial "0x$(openssl rand -hex 16)" \
    -extfile "$work/$name.ext" -out "$work/$name.crt"
  install_pair "$name"
}

if ! have ca; then
  quietly openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days "$days" \
    -subj "/CN=Chat Room Development CA" \
    -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -keyout "$work/ca.key" -out "$work/ca.crt"
  install_pair ca
fi

# keyEncipherment: AES128-SHA carries the premaster secret under the RSA key.
if ! have server; then
  sign server "/CN=localhost" "basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth
subjectAltName=DNS:localhost,IP:127.0.0.1"
fi

if ! have client; then
  sign client "/CN=chat-client" "basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=clientAuth"
fi
