#!/usr/bin/env bash
# Runs chat-bench against our server and the reference relay in the same
# session, alternating run by run, and prints medians and ratios against the
# targets (one row instead compares our web listener with our own TLS port,
# in the same run). Loopback only; every process it starts is stopped on exit.
# Usage: scripts/bench-compare.sh [--build DIR] [--runs N] [--seconds S]
#          [--idle S] [--handshakes K] [--reference DIR] [--quick] [--raw]
# --raw also prints every run's figure, in run order.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
reference=$root/../shared/reference
runs=5
seconds=3        # send phase of each load run
idle=60          # idle CPU window
idle_runs=3      # a minute each: fewer than the load runs
handshakes=1000
conns=200
raw=0

while [ $# -gt 0 ]; do
  case $1 in
    --build) build=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --idle) idle=$2; shift 2 ;;
    --handshakes) handshakes=$2; shift 2 ;;
    --reference) reference=$2; shift 2 ;;
    --quick) runs=3; seconds=2; idle=10; handshakes=500; shift ;;
    --raw) raw=1; shift ;;
    -h|--help) sed -n '2,7p' "$0"; exit 0 ;;
    *) echo "bench-compare: unknown option $1" >&2; exit 2 ;;
  esac
done
build=$(mkdir -p "$build" && cd "$build" && pwd)
bin=$build/bin

# --- binaries --------------------------------------------------------------
if [ ! -x "$bin/server" ] || [ ! -x "$bin/chat-bench" ]; then
  cmake -S "$root" -B "$build" >/dev/null
  cmake --build "$build" -j2 --target server chat-bench >/dev/null
fi
if [ ! -x "$bin/limitrelay" ]; then
  make -C "$reference" OUT="$bin/limitrelay" >/dev/null
fi

# --- scratch dir, certificates, process bookkeeping -------------------------
work=$(mktemp -d)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mkdir -p "$work/certs"
if [ -x "$root/scripts/make-dev-certs.sh" ]; then
  "$root/scripts/make-dev-certs.sh" "$work/certs" >/dev/null
else
  # Same shape as the development certificates: a CA and a server
  # certificate for 127.0.0.1 signed by it.
  (
    cd "$work/certs"
    openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 30 -subj "/CN=bench CA" \
      -keyout ca.key -out ca.crt 2>/dev/null
    openssl req -new -newkey rsa:2048 -nodes -sha256 -subj "/CN=localhost" \
      -keyout server.key -out server.csr 2>/dev/null
    printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\n' >server.ext
    openssl x509 -req -sha256 -days 30 -in server.csr -CA ca.crt -CAkey ca.key \
      -CAcreateserial -extfile server.ext -out server.crt 2>/dev/null
  )
fi
ca=$work/certs/ca.crt

# start_server KIND: starts our server ("ours") or the relay ("ref") on a
# free loopback port; sets server_pid and server_port.
start_server() {
  local kind=$1 log=$work/$1.$RANDOM.log pattern
  if [ "$kind" = ours ]; then
    # With its web listener, so that a row compares the two ports.
    (cd "$work" && exec "$bin/server" --web 0 0) >"$log" 2>&1 &
    pattern='s/^\[\+\] Server is working at ([0-9]+).*/\1/p'
  else
    "$bin/limitrelay" 0 "$work/certs/server.crt" "$work/certs/server.key" >"$log" 2>&1 &
    pattern='s/^\[\+\] limitrelay on 127\.0\.0\.1:([0-9]+).*/\1/p'
  fi
  server_pid=$!
  pids+=("$server_pid")
  server_port=
  local tries
  for tries in $(seq 100); do
    server_port=$(sed -nE "$pattern" "$log" | head -1)
    web_port=$(sed -nE 's|^\[\+\] Web page at https://[^:]*:([0-9]+)/.*|\1|p' "$log" | head -1)
    [ -n "$server_port" ] && { [ "$kind" = ref ] || [ -n "$web_port" ]; } && return 0
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "bench-compare: $kind did not start:" >&2
  cat "$log" >&2
  exit 1
}

# stop_server PID: stops it and forgets it, so that cleanup never signals a
# recycled PID.
stop_server() {
  local pid kept=()
  kill "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
  for pid in "${pids[@]}"; do [ "$pid" = "$1" ] || kept+=("$pid"); done
  pids=("${kept[@]}")
}

start_server ours; ours_pid=$server_pid; ours_port=$server_port; ours_web_port=$web_port
start_server ref; ref_pid=$server_pid; ref_port=$server_port

# field JSON KEY: a number from chat-bench's one-line JSON object.
field() {
  sed -nE "s/.*\"$2\":\"?([^,\"}]*).*/\1/p" <<<"$1"
}

# median: of the numbers on standard input.
median() {
  sort -g | awk '{ v[NR] = $1 } END {
    if (NR == 0) { print "nan"; exit }
    if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# bench KIND ARGS...: one chat-bench run against KIND (ours, ref, or web: our
# web listener); prints its JSON line. It runs in a subshell, so failures are
# counted in a file.
bench() {
  local kind=$1 port pid out rc=0 web=()
  shift
  case $kind in
    ours) port=$ours_port pid=$ours_pid ;;
    web) port=$ours_web_port pid=$ours_pid web=(--web) ;;
    *) port=$ref_port pid=$ref_pid ;;
  esac
  out=$(timeout 600 "$bin/chat-bench" --port "$port" "${web[@]}" --ca "$ca" --server-pid "$pid" --json "$@" \
    2>"$work/bench.err") || rc=$?
  if [ "$rc" -ne 0 ]; then
    echo "bench-compare: chat-bench $* against $kind exited $rc:" >&2
    head -5 "$work/bench.err" >&2
    echo "$kind $*" >>"$work/failures"
  fi
  printf '%s\n' "$out"
}

# collect NAME KEY ARGS...: alternating runs, medians into results/NAME.{ours,ref}.
# With pair="web ours", the web listener's runs go where ours do and the TLS
# port's where the reference's do: a row then compares our two ports.
mkdir -p "$work/results"
collect() {
  local name=$1 key=$2 run kind line column
  local -a kinds=(${pair:-ours ref}) columns=(ours ref)
  shift 2
  : >"$work/results/$name.ours"
  : >"$work/results/$name.ref"
  for run in $(seq "$runs"); do
    for column in 0 1; do
      kind=${kinds[$column]}
      line=$(bench "$kind" "$@")
      for k in $key; do
        printf '%s %s\n' "$k" "$(field "$line" "$k")" >>"$work/results/$name.${columns[$column]}"
      done
    done
  done
}

# med NAME KIND KEY
med() {
  awk -v k="$3" '$1 == k && $2 != "" { print $2 }' "$work/results/$1.$2" | median
}

# spread NAME KIND KEY: "min-max" of the runs
spread() {
  awk -v k="$3" '$1 == k && $2 != "" { print $2 }' "$work/results/$1.$2" | sort -g |
    awk 'NR == 1 { lo = $1 } { hi = $1 } END { if (NR) printf "%s-%s", lo, hi; else print "-" }'
}

# fig NAME KEY: the row arguments for one figure, medians with their spread
fig() {
  printf '%s\n%s\n%s\n%s\n' "$(med "$1" ours "$2")" "$(spread "$1" ours "$2")" \
    "$(med "$1" ref "$2")" "$(spread "$1" ref "$2")"
}

rows=()
# row LABEL NAME KEY BETTER TARGET: BETTER is "high" or "low"; TARGET bounds
# the ratio of the medians, ours/reference ("" for none).
row() {
  local label=$1 better=$4 target=$5 ratio verdict="" ours ours_spread ref ref_spread
  { read -r ours; read -r ours_spread; read -r ref; read -r ref_spread; } < <(fig "$2" "$3")
  ratio=$(awk -v a="$ours" -v b="$ref" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }')
  if [ -n "$target" ] && [ "$ratio" != "-" ]; then
    if [ "$better" = high ]; then
      verdict=$(awk -v r="$ratio" -v t="$target" 'BEGIN { print (r >= t) ? "met" : "MISSED" }')
      target=">=$target"
    else
      verdict=$(awk -v r="$ratio" -v t="$target" 'BEGIN { print (r <= t) ? "met" : "MISSED" }')
      target="<=$target"
    fi
  fi
  rows+=("$(printf '%-34s %10s %-19s %10s %-19s %6s %7s %7s' "$label" "$ours" "[$ours_spread]" \
    "$ref" "[$ref_spread]" "$ratio" "$target" "$verdict")")
}

# absrow LABEL NAME KEY BOUND: our median must stay under BOUND itself.
absrow() {
  local label=$1 bound=$4 ratio verdict ours ours_spread ref ref_spread
  { read -r ours; read -r ours_spread; read -r ref; read -r ref_spread; } < <(fig "$2" "$3")
  ratio=$(awk -v a="$ours" -v b="$ref" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }')
  verdict=$(awk -v a="$ours" -v t="$bound" 'BEGIN { print (a < t) ? "met" : "MISSED" }')
  rows+=("$(printf '%-34s %10s %-19s %10s %-19s %6s %7s %7s' "$label" "$ours" "[$ours_spread]" \
    "$ref" "[$ref_spread]" "$ratio" "<$bound" "$verdict")")
}

echo "bench-compare: $runs alternating runs per figure, ours (pid $ours_pid) vs reference (pid $ref_pid)" >&2

# --- closed loop: deliveries/s and CPU per delivery -------------------------
for senders in 1 5; do
  for size in 64 1024; do
    name=closed-$senders-$size
    echo "bench-compare: closed loop, $senders senders, $size bytes" >&2
    # The system call counts only show in --raw; they tell batching apart.
    collect "$name" "deliveries_per_s server_cpu_us_per_delivery server_reads_per_text
      server_writes_per_delivery" \
      --members 5 --senders "$senders" --size "$size" --duration "$seconds"
    # CPU: 1.1x wherever SM4 or the relay path was the gap; 1 KiB from one
    # sender keeps the older 1.5x.
    cpu_target=1.1
    [ "$senders" = 1 ] && [ "$size" = 1024 ] && cpu_target=1.5
    row "deliveries/s  S=$senders B=$size" "$name" deliveries_per_s high 0.7
    row "CPU us/delivery  S=$senders B=$size" "$name" server_cpu_us_per_delivery low "$cpu_target"
  done
done

# --- the web listener against our own TLS port -------------------------------
echo "bench-compare: closed loop over the web listener and the TLS port, 5 senders, 64 bytes" >&2
pair="web ours" collect web-5-64 "deliveries_per_s server_cpu_us_per_delivery" \
  --members 5 --senders 5 --size 64 --duration "$seconds"
row "web/TLS port CPU us/del S=5 B=64" web-5-64 server_cpu_us_per_delivery low 1.3

# --- open loop at 1000 texts/s: p99 latency ---------------------------------
for senders in 1 5; do
  for size in 64 1024; do
    name=rate-$senders-$size
    echo "bench-compare: 1000 texts/s, $senders senders, $size bytes" >&2
    collect "$name" "p50_us p99_us" \
      --members 5 --senders "$senders" --size "$size" --rate 1000 --duration "$seconds"
    p99_target=2
    [ "$senders" = 5 ] && [ "$size" = 64 ] && p99_target=1.5
    row "p99 us at 1000/s  S=$senders B=$size" "$name" p99_us low "$p99_target"
  done
done

# --- handshakes ------------------------------------------------------------
echo "bench-compare: $handshakes handshakes, 4 in parallel" >&2
collect handshakes "handshakes_per_s server_cpu_ms_per_handshake" \
  --handshakes "$handshakes" --parallel 4
row "handshakes/s  4 parallel" handshakes handshakes_per_s high 0.95
row "server CPU ms/handshake" handshakes server_cpu_ms_per_handshake low 1.15

# --- idle CPU with five members ---------------------------------------------
echo "bench-compare: idle, 5 members, ${idle} s x $idle_runs" >&2
runs_saved=$runs
runs=$idle_runs
collect idle "server_cpu_ms_per_min" --idle "$idle" --members 5
runs=$runs_saved
absrow "idle CPU ms/min  5 members" idle server_cpu_ms_per_min 1

# --- memory per idle connection, on fresh processes -------------------------
# A used process keeps its freed heap, which would hide the growth.
echo "bench-compare: memory, $conns idle connections, fresh servers" >&2
: >"$work/results/memory.ours"
: >"$work/results/memory.ref"
for run in $(seq "$runs"); do
  stop_server "$ours_pid"
  stop_server "$ref_pid"
  start_server ours; ours_pid=$server_pid; ours_port=$server_port; ours_web_port=$web_port
  start_server ref; ref_pid=$server_pid; ref_port=$server_port
  for kind in ours ref; do
    line=$(bench "$kind" --idle 2 --members 0 --connections "$conns")
    printf 'rss_per_conn_kib %s\n' "$(field "$line" rss_per_conn_kib)" >>"$work/results/memory.$kind"
  done
done
absrow "KiB RSS per idle conn  $conns conns" memory rss_per_conn_kib 64

# --- table -----------------------------------------------------------------
echo
printf '%-34s %10s %-19s %10s %-19s %6s %7s\n' "figure (medians of $runs)" ours "[min-max]" \
  reference "[min-max]" ratio target
for r in "${rows[@]}"; do printf '%s\n' "$r"; done
echo "machine: $(nproc) cores, $(sed -nE 's/^model name\s*: (.*)/\1/p' /proc/cpuinfo | head -1)"
if [ "$raw" = 1 ]; then
  echo
  echo "every run, in order (name key: values)"
  for f in "$work"/results/*.ours "$work"/results/*.ref; do
    awk -v n="$(basename "$f")" '{ v[$1] = v[$1] " " $2 } END { for (k in v) print n, k ":" v[k] }' "$f"
  done | sort
fi
if [ -s "$work/failures" ]; then
  echo "bench-compare: $(wc -l <"$work/failures") chat-bench runs failed (see above)" >&2
  exit 1
fi
