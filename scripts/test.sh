#!/usr/bin/env bash
# Builds scanfw for Linux, Linux with sanitizers, 64-bit and 32-bit Windows,
# and the fuzzers, and runs every test once:
# - asan: the tests on the fake platform (unit and scenario tests, the fault
#   sweep, the fuzz replays) under AddressSanitizer and UBSan;
# - linux: the shipped Linux program as a process, against an emulated USB
#   scanner (umockdev), on a terminal, its resources and its rebuild;
# - windows-x64, then windows: each Windows program under Wine of its
#   architecture (the 32-bit one through qemu-user where the kernel cannot
#   run it; SCANFW_SKIP_32BIT=1 skips it knowingly where nothing can), and
#   the release, whose test runs the 64-bit program against the windows-x64
#   preset's simulated scanner;
# - fuzz: clang builds the fuzzers only; each runs its seeds, then all three
#   run side by side for a bounded time.
# The two Windows presets run in the background beside the rest: their Wine
# suites mostly wait (the scanner's 6-second burns), as do the umockdev
# runs, which run several at a time. Each part prints its time.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc 2>/dev/null || echo 2)}
export CTEST_PARALLEL_LEVEL=${CTEST_PARALLEL_LEVEL:-$CMAKE_BUILD_PARALLEL_LEVEL}
# The labels of the tests that run the shipped program (the linux preset's
# part); every other test runs under the sanitizers.
shipped='^(cli|umockdev|screen|resources|release)$'
started=$SECONDS

# part NAME COMMAND...: runs one part and says how long it took.
part() {
  local name=$1 t0=$SECONDS
  shift
  echo "== $name"
  if "$@"; then
    echo "== $name: passed in $((SECONDS - t0)) s (at $((SECONDS - started)) s)"
  else
    echo "== $name: FAILED after $((SECONDS - t0)) s" >&2
    return 1
  fi
}

build() {
  cmake --preset "$1" && cmake --build --preset "$1"
}

windows_presets() {
  local preset status=0
  for preset in windows-x64 windows; do
    CTEST_PARALLEL_LEVEL=3 part "$preset" cmake --workflow --preset "$preset" || status=1
  done
  return "$status"
}

mkdir -p build
wine_log=build/windows-presets.log
windows_presets >"$wine_log" 2>&1 &
wine=$!

status=0
part "linux build" build linux || status=1
part "linux tests: the shipped program" ctest --preset linux -L "$shipped" -j 6 || status=1
part "asan build" build asan || status=1
part "asan tests: on the fake platform" ctest --preset asan -LE "$shipped" || status=1
part "fuzz: the fuzzers and their inputs" cmake --workflow --preset fuzz || status=1
part "fuzz runs" bash scripts/fuzz.sh "${SCANFW_FUZZ_SECONDS:-60}" || status=1

wait "$wine" || status=1
echo "== the Windows presets, run beside the above ($wine_log):"
cat "$wine_log"
echo "== all parts in $((SECONDS - started)) s after set-up"
if [ "$status" -ne 0 ]; then
  echo "scanfw: SOME TESTS FAILED" >&2
fi
exit "$status"
