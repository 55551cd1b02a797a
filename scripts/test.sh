#!/usr/bin/env bash
# Builds scanfw for Linux, Linux with sanitizers, 64-bit and 32-bit Windows,
# and runs every test: unit and scenario tests on the fake platform, the
# Linux executable as a process and against an emulated USB scanner, and each
# Windows executable under Wine of its architecture (the 32-bit one through
# qemu-user where the kernel cannot run it; SCANFW_SKIP_32BIT=1 skips it
# knowingly where nothing can); then the clang build with libFuzzer and a
# bounded run of each fuzzer. Each preset is one CMake workflow (configure,
# build, test). The 64-bit Windows build comes before the 32-bit one, whose
# release test runs the 64-bit program against its simulated scanner.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc 2>/dev/null || echo 2)}
export CTEST_PARALLEL_LEVEL=${CTEST_PARALLEL_LEVEL:-$CMAKE_BUILD_PARALLEL_LEVEL}
status=0
for preset in linux asan windows-x64 windows fuzz; do
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
