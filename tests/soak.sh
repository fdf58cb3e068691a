#!/usr/bin/env bash
# Soak: the soak driver runs build/bin/server for SECONDS (default 600) under
# joins and leaves, public and private chat, a flooder, a member that stops
# reading and garbage connections, then checks that the steady members got
# everything in order, that descriptors and memory came back, and that the
# server stops cleanly.
#   tests/soak.sh [SECONDS]      (BUILD_DIR=build-asan tests/soak.sh 30, ...)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${BUILD_DIR:-build}
[ -x "$build/bin/soak" ] || { echo "soak: $build/bin/soak is missing (build first)"; exit 2; }
certs=$(mktemp -d)
trap 'rm -rf "$certs"' EXIT
scripts/make-dev-certs.sh "$certs" >/dev/null
if TEST_CERTS_DIR=$certs "$build/bin/soak" "${1:-600}"; then
  echo "soak: passed"
else
  echo "soak: FAILED"
  exit 1
fi
