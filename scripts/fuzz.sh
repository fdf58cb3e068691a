#!/usr/bin/env bash
# Fuzzing on demand: builds the libFuzzer targets with clang in build-fuzz,
# then runs each for SECONDS (default 600) on all cores, the committed corpus
# as seeds, keeping what it finds in a work folder; ./test.sh runs it briefly.
#
#   scripts/fuzz.sh [SECONDS]   every target; a line each: runs, coverage, crashes
#   scripts/fuzz.sh merge       adds the work folder's inputs that widen coverage
#                               (up to 2 KiB each) to fuzz/corpus/, to commit
#
# FUZZ_WORK (default fuzz/corpus-run) is the work folder: TARGET/corpus holds
# the inputs found, TARGET/crashes what crashed, TARGET/log the last run.
# FUZZ_JOBS (default: every core) sets the processes per target, FUZZ_TARGETS
# (names from the list below) runs only some. Exits non-zero on a crash.
set -euo pipefail
case ${1:-} in -h | --help) sed -n '2,/^set -euo/{/^set /d;s/^# \{0,1\}//;p;}' "$0"; exit 0 ;; esac
cd "$(dirname "$0")/.."

# Every target: its binary (fuzz/CMakeLists.txt) and its corpus under
# fuzz/corpus/.
targets=(
  "FrameFuzz frame"            # the frame reader alone, reads of every size
  "SessionFuzz session"        # request handling and delivery, fake connections
  "TlsSessionFuzz tlssession"  # a session's frames through the real TLS read path
  "ChatFuzz chat"              # what a hostile server can send to chat
  "WebFuzz web"                # the web listener's HTTP and WebSocket sides
)

mode=run
seconds=600
case "${1:-}" in
  "") ;;
  merge) mode=merge ;;
  *[!0-9]* | 0)
    echo "usage: scripts/fuzz.sh [SECONDS] | scripts/fuzz.sh merge" >&2
    exit 2
    ;;
  *) seconds=$1 ;;
esac
work=${FUZZ_WORK:-fuzz/corpus-run}
jobs=${FUZZ_JOBS:-$(nproc 2>/dev/null || echo 2)}
max_len=8192  # several frames; bigger inputs only slow each run down

scripts/deps.sh --fuzz
names=()
for t in "${targets[@]}"; do
  read -r name _ <<<"$t"
  if [ -z "${FUZZ_TARGETS:-}" ] || [[ " $FUZZ_TARGETS " == *" $name "* ]]; then names+=("$name"); fi
done
mkdir -p "$work"
if ! { CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFUZZ=ON &&
       cmake --build build-fuzz -j "$jobs" --target "${names[@]}"; } >"$work/build.log" 2>&1; then
  tail -n 30 "$work/build.log"
  echo "fuzz.sh: the build failed ($work/build.log)" >&2
  exit 1
fi

status=0
for t in "${targets[@]}"; do
  read -r name corpus _ <<<"$t"
  [[ " ${names[*]} " == *" $name "* ]] || continue
  bin=build-fuzz/bin/$name
  dir=$work/$name
  mkdir -p "$dir/corpus" "$dir/crashes"
  if [ "$mode" = merge ]; then
    # Only what the committed corpus lacks comes in, named by its content.
    before=$(ls "fuzz/corpus/$corpus" | wc -l)
    "$bin" -merge=1 -use_counters=0 -max_len=2048 -close_fd_mask=1 "fuzz/corpus/$corpus" "$dir/corpus" \
      >"$dir/log" 2>&1 || { tail -n 20 "$dir/log"; status=1; }
    echo "$name: $(($(ls "fuzz/corpus/$corpus" | wc -l) - before)) inputs added to fuzz/corpus/$corpus"
    continue
  fi
  crashes_before=$(ls "$dir/crashes" | wc -l)
  # Forked workers: a worker that crashes ends the run, and its input stays.
  if "$bin" -fork="$jobs" -max_total_time="$seconds" -max_len="$max_len" -close_fd_mask=1 \
      -artifact_prefix="$dir/crashes/" "$dir/corpus" "fuzz/corpus/$corpus" >"$dir/log" 2>&1; then
    result=clean
  else
    result=FAILED
    status=1
  fi
  # The last progress line: "#RUNS: cov: EDGES ft: FEATURES corp: INPUTS
  # exec/s N oom/timeout/crash: O/T/C time: ...".
  stats=$(grep -E '^#[0-9]+: cov:' "$dir/log" | tail -n 1 || true)
  runs=$(sed -nE 's/^#([0-9]+):.*/\1/p' <<<"$stats")
  cov=$(sed -nE 's/.* cov: ([0-9]+) .*/\1/p' <<<"$stats")
  ft=$(sed -nE 's/.* ft: ([0-9]+) .*/\1/p' <<<"$stats")
  failures=$(sed -nE 's|.* oom/timeout/crash: ([0-9/]+) .*|\1|p' <<<"$stats")
  took=$(sed -nE 's/.* time: ([0-9]+)s.*/\1/p' <<<"$stats")
  found=$(ls "$dir/corpus" | wc -l)
  echo "$name: $result, ${runs:-?} runs in ${took:-?} s, coverage ${cov:-?} edges" \
    "${ft:-?} features, $found inputs in $dir/corpus, oom/timeout/crash ${failures:-?}"
  # What crashed, ran out of memory or time: each input with its replay.
  new=$(($(ls "$dir/crashes" | wc -l) - crashes_before))
  for artifact in $(ls -t "$dir/crashes" | head -n "$new"); do
    echo "  $artifact, replay: $bin $dir/crashes/$artifact"
  done
  if [ "$result" = FAILED ]; then
    grep -E '^(SUMMARY|==[0-9]+==ERROR)|runtime error' "$dir/log" | head -n 5 || tail -n 20 "$dir/log"
  fi
done
exit "$status"
