#!/usr/bin/env bash
# Builds scanfw for Linux, Linux with sanitizers, 64-bit and 32-bit Windows,
# and the fuzzers, and runs every test once:
# - asan: the tests on the fake platform (unit and scenario tests, the fault
#   sweep, the fuzz replays) under AddressSanitizer and UBSan;
# - linux: the shipped Linux program as a process, against an emulated USB
#   scanner (umockdev), on a terminal, its resources and its rebuild;
# - windows-x64 and windows: each Windows program under Wine of its
#   architecture (the 32-bit one through qemu-user where the kernel cannot
#   run it; SCANFW_SKIP_32BIT=1 skips it knowingly where nothing can), and
#   the release, whose test runs the 64-bit program against the windows-x64
#   preset's simulated scanner;
# - fuzz: clang builds the fuzzers only; each runs its seeds, then all three
#   run side by side for a bounded time.
# Set-up comes in two parts: what the Linux builds need first, then the
# Windows tool chain, Wine and its 32-bit side and clang, which install in the
# background while the sanitizer build compiles; the two Windows presets
# follow them there. Their Wine suites mostly wait (the scanner's 6-second
# burns), as do the umockdev runs, which run several at a time. Each part
# prints its wall time and the CPU time it used.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh first

export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc 2>/dev/null || echo 2)}
export CTEST_PARALLEL_LEVEL=${CTEST_PARALLEL_LEVEL:-$CMAKE_BUILD_PARALLEL_LEVEL}
# The labels of the tests that run the shipped program (the linux preset's
# part); every other test runs under the sanitizers.
shipped='^(cli|umockdev|screen|resources|release)$'
started=$SECONDS

# cpu_now: the CPU time used so far by the processes this shell has waited
# for, user and system, in whole seconds (bash's times, read in this shell:
# a subshell would count only its own). The Windows presets' job is a shell
# of its own that reports its parts at the same moments, so each shell writes
# a file of its own.
cpu_dir=$(mktemp -d)
trap 'rm -rf "$cpu_dir"' EXIT
children_cpu() {
  local user system cpu_file=$cpu_dir/$BASHPID
  times >"$cpu_file"
  { read -r _ _; read -r user system; } <"$cpu_file"
  cpu_now=$(($(seconds_of "$user") + $(seconds_of "$system")))
}
seconds_of() {  # 1m2.500s -> 62
  local minutes=${1%%m*} rest=${1#*m}
  echo $((10#$minutes * 60 + 10#${rest%%.*}))
}

# part NAME COMMAND...: runs one part and says how long it took and how
# much CPU time it used.
part() {
  local name=$1 t0=$SECONDS c0
  shift
  echo "== $name"
  children_cpu
  c0=$cpu_now
  if "$@"; then
    children_cpu
    echo "== $name: passed in $((SECONDS - t0)) s, $((cpu_now - c0)) s of CPU" \
         "(at $((SECONDS - started)) s)"
  else
    echo "== $name: FAILED after $((SECONDS - t0)) s" >&2
    return 1
  fi
}

# The sanitizer build and tests and the fuzzers keep no time but their own:
# they run at a lower priority, so that the suites that talk to a simulated
# scanner in real time (Wine, umockdev) are not starved into their time
# limits.
later() {
  nice -n 10 "$@"
}

# build PRESET [later]: configures and builds, at a lower priority if asked.
build() {
  cmake --preset "$1" && ${2:+"$2"} cmake --build --preset "$1"
}

# wait_for FILE: until the Windows presets' job has written FILE or ended.
wait_for() {
  while [ ! -s "$1" ] && kill -0 "$wine" 2>/dev/null; do sleep 2; done
}

# Both Windows programs are built first: the 32-bit preset's release test
# runs the 64-bit program on the 64-bit preset's simulated scanner. The two
# presets' tests then run side by side.
windows_presets() {
  local x64 status=0 setup=0
  part "set-up, the rest: Windows tool chain, Wine, clang" bash scripts/setup.sh rest || setup=$?
  echo "$setup" >"$rest_done"
  [ "$setup" -eq 0 ] || return 1
  part "windows-x64 build" build windows-x64 || return 1
  part "windows build" build windows || return 1
  # Two presets' Wine suites at once: four prefixes each for the scenarios.
  export SCANFW_WINE_JOBS=${SCANFW_WINE_JOBS:-4}
  part "windows-x64 tests" ctest --preset windows-x64 -j 3 &
  x64=$!
  part "windows tests" ctest --preset windows -j 3 || status=1
  wait "$x64" || status=1
  return "$status"
}

mkdir -p build
wine_log=build/windows-presets.log
# The rest of the set-up's status, once it has run (the fuzzers need clang).
rest_done=build/setup-rest.status
wine_done=build/windows-presets.status
rm -f "$rest_done" "$wine_done"
# Started apart (not this shell's child), so that its CPU time, which its
# own parts report, is not added to the part that is running when it ends.
wine=$( (windows_presets >"$wine_log" 2>&1; echo $? >"$wine_done") </dev/null >/dev/null 2>&1 & echo $! )

status=0
part "asan build" build asan later || status=1
part "asan tests: on the fake platform" later ctest --preset asan -LE "$shipped" || status=1
part "linux build" build linux || status=1
part "linux tests: the shipped program" ctest --preset linux -L "$shipped" -j 6 || status=1
wait_for "$rest_done"
part "fuzz: the fuzzers and their inputs" later cmake --workflow --preset fuzz || status=1
part "fuzz runs" later bash scripts/fuzz.sh "${SCANFW_FUZZ_SECONDS:-30}" || status=1

wait_for "$wine_done"
[ "$(cat "$wine_done" 2>/dev/null)" = 0 ] || status=1
echo "== the Windows presets, run beside the above ($wine_log):"
cat "$wine_log"
echo "== all parts in $((SECONDS - started)) s after set-up"
if [ "$status" -ne 0 ]; then
  echo "scanfw: SOME TESTS FAILED" >&2
fi
exit "$status"
