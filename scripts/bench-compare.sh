#!/usr/bin/env bash
# Measures our server against the lean relay of the same frames
# (build/bin/lean-relay, the ceiling for this protocol on this machine) and
# against ngIRCd over TLS (what a user might run instead), with chat-bench,
# in one session, alternating run by run. Prints each figure's median and
# range, then a summary: our figures as ratios to the relay's, each against
# its target, and ngIRCd's ratios beside them. One row compares our web
# listener with our own TLS port instead. Loopback only; every process it
# starts is stopped on exit. Run from anywhere in a clone; it builds what is
# missing.
# Usage: scripts/bench-compare.sh [--build DIR] [--runs N] [--seconds S]
#          [--idle S] [--handshakes K] [--quick] [--no-irc] [--raw]
# --runs N: alternating runs per figure (default 5); --seconds S: each load
# run's send phase (3); --idle S: each idle run (60); --handshakes K: per
# handshake run (1000); --quick: 3 runs, 2 s, 10 s idle, 500 handshakes (about
# 6 minutes; the default takes about 20); --no-irc: leave ngIRCd out;
# --raw: also every run's figures, in run order.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
runs=5
seconds=3        # send phase of each load run
idle=60          # idle CPU window
handshakes=1000
conns=200        # idle connections for the memory figure
irc=1
raw=0

while [ $# -gt 0 ]; do
  case $1 in
    --build) build=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --idle) idle=$2; shift 2 ;;
    --handshakes) handshakes=$2; shift 2 ;;
    --quick) runs=3; seconds=2; idle=10; handshakes=500; shift ;;
    --no-irc) irc=0; shift ;;
    --raw) raw=1; shift ;;
    -h|--help) sed -n '2,/^set -euo/{/^set /d;s/^# \{0,1\}//;p;}' "$0"; exit 0 ;;
    *) echo "bench-compare: unknown option $1" >&2; exit 2 ;;
  esac
done
idle_runs=$((runs < 3 ? runs : 3))  # a minute each by default: fewer than the load runs
build=$(mkdir -p "$build" && cd "$build" && pwd)
bin=$build/bin

# --- binaries --------------------------------------------------------------
if [ ! -x "$bin/server" ] || [ ! -x "$bin/chat-bench" ] || [ ! -x "$bin/lean-relay" ]; then
  cmake -S "$root" -B "$build" >/dev/null
  cmake --build "$build" -j2 --target server chat-bench lean-relay >/dev/null
fi
ngircd_bin=
if [ "$irc" = 1 ]; then
  ngircd_bin=$(PATH=$PATH:/usr/sbin:/sbin command -v ngircd || true)
  if [ -z "$ngircd_bin" ]; then
    "$root/scripts/deps.sh" --bench
    ngircd_bin=$(PATH=$PATH:/usr/sbin:/sbin command -v ngircd)
  fi
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

"$root/scripts/make-dev-certs.sh" "$work/certs" >/dev/null
ca=$work/certs/ca.crt
# ngIRCd would otherwise make Diffie-Hellman parameters of its own at every
# start, for seconds; the standard group is made at once.
openssl genpkey -genparam -algorithm DH -pkeyopt group:ffdhe2048 -out "$work/dh.pem" 2>/dev/null

# ircd_config PORT: ngIRCd's configuration for the bench. TLS only, on
# loopback, with the same certificate and key, AES128-SHA as on our port.
# Its flood protection throttles a client that sends more than a few lines
# or 256 bytes a second (a penalty second each time: the defaults took 51
# texts/s from five senders). MaxPenaltyTime = 0 makes the penalty nothing;
# user mode +F (chat-bench --oper) measured no better. No look-ups of the
# clients' names, and no PING within a long idle run (nobody reads then).
ircd_config() {
  cat <<EOF
[Global]
Name = bench.invalid
Info = chat-bench
Listen = 127.0.0.1
Ports =
MotdPhrase = bench
[Limits]
MaxConnectionsIP = 0
MaxPenaltyTime = 0
PingTimeout = 600
[Options]
DNS = no
Ident = no
PAM = no
[SSL]
CertFile = $work/certs/server.crt
KeyFile = $work/certs/server.key
DHFile = $work/dh.pem
Ports = $1
CipherList = NONE:+VERS-TLS1.2:+RSA:+AES-128-CBC:+SHA1:+COMP-NULL:+SIGN-ALL:+CTYPE-X509
EOF
}

# start_server KIND: starts our server ("ours"), the lean relay ("ref") or
# ngIRCd ("irc") on a free loopback port; sets server_pid and server_port
# (and web_port for ours).
start_server() {
  local kind=$1 log=$work/$1.$RANDOM.log pattern port= tries
  : >"$log"  # before the child opens it, so that the first look finds it
  case $kind in
    ours)
      # With its web listener, so that a row compares the two ports.
      (cd "$work" && exec "$bin/server" --web 0 0) >"$log" 2>&1 &
      pattern='s/^\[\+\] Server is working at ([0-9]+).*/\1/p' ;;
    ref)
      "$bin/lean-relay" 0 "$work/certs/server.crt" "$work/certs/server.key" >"$log" 2>&1 &
      pattern='s/^\[\+\] lean-relay on 127\.0\.0\.1:([0-9]+).*/\1/p' ;;
    irc)
      # ngIRCd takes no port 0: one that nothing listens on, tried again
      # should another process take it first.
      for tries in $(seq 20); do
        port=$((20000 + RANDOM % 40000))
        (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || break
      done
      ircd_config "$port" >"$work/ngircd.conf"
      "$ngircd_bin" -n -f "$work/ngircd.conf" >"$log" 2>&1 &
      pattern="s/.*Now listening on \[127\.0\.0\.1\]:($port) .*/\1/p" ;;
  esac
  server_pid=$!
  pids+=("$server_pid")
  server_port=
  web_port=
  for tries in $(seq 300); do
    server_port=$(sed -nE "$pattern" "$log" | head -1)
    web_port=$(sed -nE 's|^\[\+\] Web page at https://[^:]*:([0-9]+)/.*|\1|p' "$log" | head -1)
    [ -n "$server_port" ] && { [ "$kind" != ours ] || [ -n "$web_port" ]; } && return 0
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

kinds=(ours ref)
[ "$irc" = 1 ] && kinds+=(irc)
declare -A port_of pid_of
start_all() {
  local kind
  for kind in "${kinds[@]}"; do
    start_server "$kind"
    pid_of[$kind]=$server_pid
    port_of[$kind]=$server_port
    [ "$kind" = ours ] && port_of[web]=$web_port && pid_of[web]=$server_pid
  done
  return 0
}
stop_all() {
  local kind
  for kind in "${kinds[@]}"; do stop_server "${pid_of[$kind]}"; done
}
start_all

# field JSON KEY: a number from chat-bench's one-line JSON object.
field() {
  sed -nE "s/.*\"$2\":\"?([^,\"}]*).*/\1/p" <<<"$1"
}

# median: of the numbers on standard input.
median() {
  sort -g | awk '{ v[NR] = $1 } END {
    if (NR == 0) { print "-"; exit }
    if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# bench KIND ARGS...: one chat-bench run against KIND (ours, ref, irc, or
# web: our web listener); prints its JSON line. It runs in a subshell, so
# failures are counted in a file.
bench() {
  local kind=$1 out rc=0 extra=()
  shift
  case $kind in
    web) extra=(--web) ;;
    irc) extra=(--irc) ;;
  esac
  out=$(timeout 600 "$bin/chat-bench" --port "${port_of[$kind]}" "${extra[@]}" --ca "$ca" \
    --server-pid "${pid_of[$kind]}" --json "$@" 2>"$work/bench.err") || rc=$?
  if [ "$rc" -ne 0 ]; then
    echo "bench-compare: chat-bench $* against $kind exited $rc:" >&2
    head -5 "$work/bench.err" >&2
    echo "$kind $*" >>"$work/failures"
  fi
  printf '%s\n' "$out"
}

# collect NAME KEYS ARGS...: alternating runs of every kind, each run's
# figures into results/NAME.KIND. With pair="web ours", the web listener's
# runs go where ours do and the TLS port's where the relay's do: a row then
# compares our two ports.
mkdir -p "$work/results"
collect() {
  local name=$1 keys=$2 run i line k
  local -a run_kinds=(${pair:-${kinds[*]}}) columns=(ours ref irc)
  shift 2
  for i in "${!run_kinds[@]}"; do : >"$work/results/$name.${columns[$i]}"; done
  for run in $(seq "$runs"); do
    for i in "${!run_kinds[@]}"; do
      line=$(bench "${run_kinds[$i]}" "$@")
      for k in $keys; do
        printf '%s %s\n' "$k" "$(field "$line" "$k")" >>"$work/results/$name.${columns[$i]}"
      done
    done
  done
}

# values NAME KIND KEY: the runs' figures, one a line
values() {
  [ -f "$work/results/$1.$2" ] || return 0
  awk -v k="$3" '$1 == k && $2 != "" { print $2 }' "$work/results/$1.$2"
}
med() { values "$@" | median; }
# spread NAME KIND KEY: "[min-max]" of the runs
spread() {
  values "$@" | sort -g |
    awk 'NR == 1 { lo = $1 } { hi = $1 } END { if (NR) printf "[%s-%s]", lo, hi; else print "" }'
}
ratio() {
  awk -v a="$1" -v b="$2" 'BEGIN { if (a != "-" && b != "-" && b > 0) printf "%.2f", a / b; else print "-" }'
}

rows=()
summary=()
# row LABEL NAME KEY: one line of the detail table.
row() {
  local ours ref ircd
  ours=$(med "$2" ours "$3") ref=$(med "$2" ref "$3") ircd=$(med "$2" irc "$3")
  rows+=("$(printf '%-36s %10s %-21s %10s %-21s %6s  %10s %-21s %6s' "$1" \
    "$ours" "$(spread "$2" ours "$3")" "$ref" "$(spread "$2" ref "$3")" "$(ratio "$ours" "$ref")" \
    "$ircd" "$(spread "$2" irc "$3")" "$(ratio "$ircd" "$ref")")")
}

# goal LABEL NAME KEY BETTER TARGET: one line of the summary. BETTER is
# "high" or "low"; TARGET bounds the ratio of the medians, ours / relay.
goal() {
  local label=$1 better=$4 target=$5 ours ref ircd r verdict=-
  ours=$(med "$2" ours "$3") ref=$(med "$2" ref "$3") ircd=$(med "$2" irc "$3")
  r=$(ratio "$ours" "$ref")
  if [ "$r" != "-" ]; then
    verdict=$(awk -v r="$r" -v t="$target" -v b="$better" \
      'BEGIN { ok = b == "high" ? r >= t : r <= t; print ok ? "met" : "MISSED" }')
  fi
  [ "$better" = high ] && target=">=$target" || target="<=$target"
  summary+=("$(printf '%-42s %6s %8s %7s  %6s' "$label" "$r" "$target" "$verdict" \
    "$(ratio "$ircd" "$ref")")")
}

echo "bench-compare: $runs alternating runs per figure: ours (pid ${pid_of[ours]}), lean relay" \
  "(pid ${pid_of[ref]})$([ "$irc" = 1 ] && echo ", ngIRCd (pid ${pid_of[irc]})")" >&2

# --- closed loop: deliveries/s and CPU per delivery -------------------------
for senders in 1 5; do
  for size in 64 1024; do
    name=closed-$senders-$size
    echo "bench-compare: closed loop, $senders senders, $size bytes" >&2
    # The system call counts only show in --raw; they tell batching apart.
    collect "$name" "deliveries_per_s server_cpu_us_per_delivery server_reads_per_text
      server_writes_per_delivery" \
      --members 5 --senders "$senders" --size "$size" --duration "$seconds"
    row "deliveries/s  S=$senders B=$size" "$name" deliveries_per_s
    row "CPU us/delivery  S=$senders B=$size" "$name" server_cpu_us_per_delivery
  done
done

# --- the web listener against our own TLS port -------------------------------
echo "bench-compare: closed loop over the web listener and the TLS port, 5 senders, 64 bytes" >&2
pair="web ours" collect web-5-64 "deliveries_per_s server_cpu_us_per_delivery" \
  --members 5 --senders 5 --size 64 --duration "$seconds"
row "CPU us/del S=5 B=64: web / TLS port" web-5-64 server_cpu_us_per_delivery

# --- open loop at 1000 texts/s: p99 latency ---------------------------------
for senders in 1 5; do
  for size in 64 1024; do
    name=rate-$senders-$size
    echo "bench-compare: 1000 texts/s, $senders senders, $size bytes" >&2
    collect "$name" "p50_us p99_us" \
      --members 5 --senders "$senders" --size "$size" --rate 1000 --duration "$seconds"
    row "p99 us at 1000/s  S=$senders B=$size" "$name" p99_us
  done
done

# --- handshakes ------------------------------------------------------------
echo "bench-compare: $handshakes handshakes, 4 in parallel" >&2
collect handshakes "handshakes_per_s server_cpu_ms_per_handshake" \
  --handshakes "$handshakes" --parallel 4
row "full TLS handshakes/s  4 parallel" handshakes handshakes_per_s
row "server CPU ms/handshake" handshakes server_cpu_ms_per_handshake

# --- idle CPU with five members ---------------------------------------------
echo "bench-compare: idle, 5 members, ${idle} s x $idle_runs" >&2
runs_saved=$runs
runs=$idle_runs
collect idle "server_cpu_ms_per_min" --idle "$idle" --members 5
runs=$runs_saved
row "idle CPU ms/min  5 members" idle server_cpu_ms_per_min

# --- memory per idle connection, on fresh processes -------------------------
# A used process keeps its freed heap, which would hide the growth.
echo "bench-compare: memory, $conns idle connections, fresh servers" >&2
for kind in "${kinds[@]}"; do : >"$work/results/memory.$kind"; done
for run in $(seq "$runs"); do
  stop_all
  start_all
  for kind in "${kinds[@]}"; do
    line=$(bench "$kind" --idle 2 --members 0 --connections "$conns")
    printf 'rss_per_conn_kib %s\n' "$(field "$line" rss_per_conn_kib)" >>"$work/results/memory.$kind"
  done
done
row "KiB RSS per idle conn  $conns conns" memory rss_per_conn_kib

# --- the targets -------------------------------------------------------------
goal "server CPU per handshake" handshakes server_cpu_ms_per_handshake low 1.1
goal "full TLS handshakes/s" handshakes handshakes_per_s high 0.95
goal "resident memory per idle connection" memory rss_per_conn_kib low 1.3
goal "server CPU per delivery  S=5 B=64" closed-5-64 server_cpu_us_per_delivery low 1.15
goal "server CPU per delivery  S=5 B=1024" closed-5-1024 server_cpu_us_per_delivery low 1.15
for senders in 1 5; do
  for size in 64 1024; do
    goal "p99 at 1000 texts/s  S=$senders B=$size" "rate-$senders-$size" p99_us low 1.2
  done
done
idle_ms=$(med idle ours server_cpu_ms_per_min)
idle_verdict=$(awk -v a="$idle_ms" 'BEGIN { print (a != "-" && a < 1) ? "met" : "MISSED" }')

# --- tables ----------------------------------------------------------------
echo
printf '%-36s %10s %-21s %10s %-21s %6s  %10s %-21s %6s\n' "figure (medians of $runs)" ours \
  "[min-max]" "lean relay" "[min-max]" ratio ngIRCd "[min-max]" ratio
for r in "${rows[@]}"; do printf '%s\n' "$r"; done
echo
printf '%-42s %6s %8s %7s  %6s\n' "summary: ours / lean relay" ratio target "" "ngIRCd"
for r in "${summary[@]}"; do printf '%s\n' "$r"; done
printf '%-42s %6s %8s %7s\n' "idle CPU, 5 members (ours, ms/min)" "$idle_ms" "<1" "$idle_verdict"
echo "machine: $(nproc) cores, $(sed -nE 's/^model name\s*: (.*)/\1/p' /proc/cpuinfo | head -1)," \
  "load average $(cut -d' ' -f1-3 /proc/loadavg)"
if [ "$raw" = 1 ]; then
  echo
  echo "every run, in order (name.kind key: values)"
  for f in "$work"/results/*; do
    awk -v n="$(basename "$f")" '{ v[$1] = v[$1] " " $2 } END { for (k in v) print n, k ":" v[k] }' "$f"
  done | sort
fi
if [ -s "$work/failures" ]; then
  echo "bench-compare: $(wc -l <"$work/failures") chat-bench runs failed (see above)" >&2
  exit 1
fi
