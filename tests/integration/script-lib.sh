# What the integration scripts share, sourced once `test_name` is set: a
# scratch directory, the processes they start (in `pids`, stopped by PID on
# exit) and `fail`, which shows the tail of each log in the scratch
# directory.
work=$(mktemp -d)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "$test_name: FAILED: $*" >&2
  for log in "$work"/*.log; do
    echo "--- $(basename "$log")" >&2
    tail -n 30 "$log" >&2
  done
  exit 1
}
