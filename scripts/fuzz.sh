#!/usr/bin/env bash
# Runs each libFuzzer harness for SECONDS (default 60) from a copy of its
# committed seed corpus, all at once (the wall time is SECONDS, not three
# times that; each harness gets its share of the cores), and prints per
# harness the
# executions, executions per second, coverage and crashes. Fails when any
# harness found a crash; the crash inputs are kept under
# build/fuzz/fuzz-runs/HARNESS/crashes/ (add them to
# tests/fuzz/regressions/HARNESS/ once understood, so every build replays
# them).
#   bash scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
harnesses=(cmdline update service)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j 2 --target "${harnesses[@]/#/fuzz_}" >/dev/null

runs=build/fuzz/fuzz-runs
mkdir -p "$runs"
status=0
summary="$runs/summary.txt"
printf '%-8s %8s %12s %9s %6s %7s %7s %8s\n' harness seconds executions exec/s cov features corpus crashes > "$summary"
for h in "${harnesses[@]}"; do
  work="$runs/$h"
  rm -rf "$work"
  mkdir -p "$work/corpus" "$work/crashes"
  cp tests/fuzz/corpus/"$h"/* "$work/corpus/"
  echo "fuzz: $h for $seconds s" >&2
  "build/fuzz/tests/fuzz_$h" -max_total_time="$seconds" -print_final_stats=1 \
    -timeout=20 -artifact_prefix="$work/crashes/" \
    "$work/corpus" "tests/fuzz/regressions/$h" > "$work/log" 2>&1 &
done
wait || true
for h in "${harnesses[@]}"; do
  work="$runs/$h"
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/log" | tail -1)
  last=$(grep -E '^#[0-9]+' "$work/log" | tail -1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<< "$last")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<< "$last")
  corp=$(sed -n 's/.* corp: \([0-9]*\).*/\1/p' <<< "$last")
  # libFuzzer also keeps there the inputs that merely ran slowly (slow-unit-*),
  # which a busy machine makes of any input: not faults.
  crashes=$(find "$work/crashes" -type f ! -name 'slow-unit-*' | wc -l)
  printf '%-8s %8s %12s %9s %6s %7s %7s %8s\n' "$h" "$seconds" "${execs:-?}" "${rate:-?}" \
    "${cov:-?}" "${ft:-?}" "${corp:-?}" "$crashes" >> "$summary"
  if [ "$crashes" -ne 0 ] || [ -z "$execs" ]; then
    status=1
    echo "fuzz: $h FAILED, see $work/log" >&2
    grep -E 'invariant broken|ERROR|SUMMARY' "$work/log" | head -5 >&2 || true
  fi
done
cat "$summary"
exit "$status"
