#!/usr/bin/env bash
# Makes a three-level PKI for the tests: DIR/root.crt, and DIR/server.crt
# holding a leaf for 127.0.0.1 followed by the intermediate that issued it,
# with DIR/server.key. ALG (rsa or ec) is the key type of all three.
# Usage: tests/support/make-chain.sh DIR ALG
set -euo pipefail

dir=$1
alg=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# shellcheck source=scripts/certs-lib.sh
. "$(dirname "$0")/../../scripts/certs-lib.sh"

make_ca root "/CN=Test Root" "$alg"
sign inter "/CN=Test Intermediate" "basicConstraints=critical,CA:TRUE
keyUsage=critical,keyCertSign,cRLSign" "$work/root.crt" "$work/root.key" "$alg"
usage=digitalSignature
[ "$alg" = ec ] || usage+=,keyEncipherment
sign leaf "/CN=127.0.0.1" "basicConstraints=CA:FALSE
keyUsage=critical,$usage
extendedKeyUsage=serverAuth
subjectAltName=IP:127.0.0.1" "$work/inter.crt" "$work/inter.key" "$alg"
mkdir -p "$dir"
cat "$work/leaf.crt" "$work/inter.crt" >"$dir/server.crt"
cp "$work/leaf.key" "$dir/server.key"
cp "$work/root.crt" "$dir/root.crt"
