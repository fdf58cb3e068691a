#!/usr/bin/env bash
# Installs what is missing, builds the server and the chat client, makes
# development certificates when certs/ lacks them, and starts the server
# from the repo root.
# Usage: ./run.sh [port]   (default 7000)
set -euo pipefail
case ${1:-} in -h | --help) sed -n '2,/^set -euo/{/^set /d;s/^# \{0,1\}//;p;}' "$0"; exit 0 ;; esac
cd "$(dirname "$0")"

port=${1:-7000}

scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target server chat

if [ ! -e certs/ca.crt ] || [ ! -e certs/server.crt ] || [ ! -e certs/server.key ]; then
  scripts/make-dev-certs.sh certs
fi

exec build/bin/server "$port"
