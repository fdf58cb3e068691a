#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test three times: an
# optimised build with assertions, AddressSanitizer + UndefinedBehaviorSanitizer,
# and ThreadSanitizer. Exits non-zero on any failure.
set -euo pipefail
case ${1:-} in -h | --help) sed -n '2,/^set -euo/{/^set /d;s/^# \{0,1\}//;p;}' "$0"; exit 0 ;; esac
cd "$(dirname "$0")"

scripts/deps.sh
scripts/web-deps.sh  # Chromium and the locked npm packages for the browser test

jobs=$(nproc 2>/dev/null || echo 2)
status=0

run_suite() {  # name, build dir, cmake args...
  local name=$1 dir=$2
  shift 2
  echo "=== $name: configure and build ($dir)"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  echo "=== $name: tests"
  if ! (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 300); then
    echo "=== $name: FAILED"
    status=1
  fi
}

export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

run_suite "optimised" build
echo "=== Debian package (from build)"
scripts/package-test.sh build || status=1
run_suite "address+undefined sanitizers" build-asan -DSANITIZE=address,undefined
run_suite "thread sanitizer" build-tsan -DSANITIZE=thread

# Short fuzzing runs of every target (scripts/fuzz.sh installs clang and
# builds build-fuzz); the long ones are scripts/fuzz.sh's own. FUZZ_SECONDS
# sets the time per target.
echo "=== fuzzing: ${FUZZ_SECONDS:-10} s per target"
scripts/fuzz.sh "${FUZZ_SECONDS:-10}" || status=1

if [ "$status" -ne 0 ]; then
  echo "test.sh: some tests failed"
fi
exit "$status"
