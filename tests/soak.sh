#!/usr/bin/env bash
# Soak: build/bin/server under chat-bench --soak for SECONDS (default 600):
# joins and leaves, public and private chat, strangers' chat, a flooder, a
# member that stops reading, connections gone at every stage of a frame and
# garbage. chat-bench checks that the steady members got everything in order,
# that the room holds only them afterwards and that the server's
# descriptors, threads and memory came back; then the server must stop
# cleanly on SIGTERM. CTest runs it for 15 s in every build.
#   tests/soak.sh [SECONDS]      (BUILD_DIR=build-asan tests/soak.sh 30, ...)
set -euo pipefail
case ${1:-} in -h | --help) sed -n '2,/^set -euo/{/^set /d;s/^# \{0,1\}//;p;}' "$0"; exit 0 ;; esac
cd "$(dirname "$0")/.."

build=${BUILD_DIR:-build}
seconds=${1:-600}
for name in server chat-bench; do
  [ -x "$build/bin/$name" ] || { echo "soak: $build/bin/$name is missing (build first)"; exit 2; }
done
bin=$(cd "$build/bin" && pwd)
work=$(mktemp -d)
server_pid=
cleanup() {
  if [ -n "$server_pid" ]; then
    kill -KILL "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# exited PID: true once it has ended (a zombie until it is waited for).
exited() {
  local state
  state=$(cut -d' ' -f3 "/proc/$1/stat" 2>/dev/null) || return 0
  [ "$state" = Z ]
}

fail() {
  echo "soak: $*"
  echo "soak: the server's last lines:"
  tail -n 20 "$work/server.log"
  echo "soak: FAILED"
  exit 1
}

scripts/make-dev-certs.sh "$work/certs" >/dev/null
(cd "$work" && exec "$bin/server" 0) >"$work/server.log" 2>&1 &
server_pid=$!
port=
deadline=$((SECONDS + 10))
while [ -z "$port" ] && ! exited "$server_pid" && [ "$SECONDS" -lt "$deadline" ]; do
  sleep 0.1
  port=$(sed -nE 's/^\[\+\] Server is working at ([0-9]+).*/\1/p' "$work/server.log")
done
[ -n "$port" ] || fail "the server did not start"

# The drain bound only matters when deliveries are missing.
rc=0
timeout $((seconds + 120)) "$bin/chat-bench" --port "$port" --ca "$work/certs/ca.crt" \
  --server-pid "$server_pid" --drain 15 --soak "$seconds" || rc=$?
[ "$rc" -eq 0 ] || fail "chat-bench --soak exited $rc"

kill -TERM "$server_pid"
deadline=$((SECONDS + 15))
while ! exited "$server_pid" && [ "$SECONDS" -lt "$deadline" ]; do
  sleep 0.1
done
exited "$server_pid" || fail "the server did not stop within 15 s of SIGTERM"
status=0
wait "$server_pid" || status=$?
server_pid=
[ "$status" -eq 0 ] || fail "the server exited $status on SIGTERM"
grep -qxF -- "[-] Server stopped." "$work/server.log" || fail "no \"[-] Server stopped.\""
echo "soak: $(grep -c '^\[\*\] Connection' "$work/server.log" || true) connections served; stopped cleanly"
echo "soak: passed"
