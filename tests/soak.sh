#!/usr/bin/env bash
# Soak: runs build/bin/server for SECONDS (default 600) under joins and leaves,
# public and private chat, a flooder, a member that stops reading and garbage
# connections, then checks that the steady members got everything in order,
# that descriptors and memory came back, and that the server stops cleanly.
#   tests/soak.sh [SECONDS]      (BUILD_DIR=build-asan tests/soak.sh 30, ...)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-600}
build=${BUILD_DIR:-build}
for bin in server soak; do
  [ -x "$build/bin/$bin" ] || { echo "soak: $build/bin/$bin is missing (build first)"; exit 2; }
done

work=$(mktemp -d)
server_pid=""
cleanup() {
  if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
    kill -KILL "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

scripts/make-dev-certs.sh "$work/certs" >/dev/null
(cd "$work" && exec "$OLDPWD/$build/bin/server" 0 >"$work/out.log" 2>"$work/err.log") &
server_pid=$!

port=""
for _ in $(seq 100); do
  port=$(sed -n 's/^\[+\] Server is working at \([0-9]*\)$/\1/p' "$work/out.log" 2>/dev/null || true)
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { echo "soak: the server did not start"; cat "$work/err.log"; exit 1; }
echo "soak: server $server_pid on port $port for $seconds s"

status=0
"$build/bin/soak" --port "$port" --server-pid "$server_pid" --ca "$work/certs/ca.crt" \
  --seconds "$seconds" || status=1

kill -TERM "$server_pid"
for _ in $(seq 50); do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$server_pid" 2>/dev/null; then
  echo "soak: the server did not stop on SIGTERM"
  status=1
else
  wait "$server_pid" || { echo "soak: the server exited with $?"; status=1; }
fi
server_pid=""
echo "soak: $(grep -c '^\[\*\] Connection' "$work/out.log") connections served"
[ "$status" -eq 0 ] && echo "soak: passed" || echo "soak: FAILED"
exit "$status"
