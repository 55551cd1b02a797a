#!/usr/bin/env bash
# Builds scanfw for Linux, Linux with sanitizers, and 32-bit Windows, and runs
# every test: unit and scenario tests on the fake platform, the Linux
# executable as a process, and the Windows executable under Wine; then the
# clang build with libFuzzer and a bounded run of each fuzzer.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

jobs=$(nproc 2>/dev/null || echo 2)
status=0
for preset in linux asan windows fuzz; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  if ! ctest --preset "$preset" -j "$jobs"; then
    status=1
  fi
done
echo "== fuzz runs"
if ! bash scripts/fuzz.sh "${SCANFW_FUZZ_SECONDS:-60}"; then
  status=1
fi
if [ "$status" -ne 0 ]; then
  echo "scanfw: SOME TESTS FAILED" >&2
fi
exit "$status"
