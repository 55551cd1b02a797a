#!/usr/bin/env bash
# Builds scanfw for Linux, Linux with sanitizers, and 32-bit Windows, and runs
# every test: unit and scenario tests on the fake platform, the Linux
# executable as a process and against an emulated USB scanner, and the
# Windows executable under Wine; then the clang build with libFuzzer and a
# bounded run of each fuzzer. Each preset is one CMake workflow (configure,
# build, test).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc 2>/dev/null || echo 2)}
export CTEST_PARALLEL_LEVEL=${CTEST_PARALLEL_LEVEL:-$CMAKE_BUILD_PARALLEL_LEVEL}
status=0
for preset in linux asan windows fuzz; do
  echo "== $preset"
  cmake --workflow --preset "$preset" || status=1
done
echo "== fuzz runs"
if ! bash scripts/fuzz.sh "${SCANFW_FUZZ_SECONDS:-60}"; then
  status=1
fi
if [ "$status" -ne 0 ]; then
  echo "scanfw: SOME TESTS FAILED" >&2
fi
exit "$status"
