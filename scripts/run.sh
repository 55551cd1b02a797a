#!/usr/bin/env bash
# The program's main job, end to end: builds the Windows scanfw.exe and runs
# it under Wine against a simulated scanner (a kernel driver loaded into
# Wine) and a stand-in still-image service, in the English success scenario.
# The 32-bit scanfw.exe, the one users get, wherever this machine can run
# 32-bit code (natively, or through qemu-user); the 64-bit build otherwise,
# and it says so. Shows the transcript as it is printed, then what the
# scanner received and the service's final state. Exits non-zero when
# anything is not as expected.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

preset=windows
if ! why=$(python3 tests/e2e/wineenv.py --why-not i386); then
  echo "== the 32-bit scanfw.exe cannot run under Wine here ($why); running the 64-bit build instead"
  preset=windows-x64
fi
build=build/$preset
mkdir -p "$build"
log="$build/run-build.log"
jobs=$(nproc 2>/dev/null || echo 2)
echo "== building the $preset preset ($build/scanfw.exe, log in $log)"
if ! { cmake --preset "$preset" && cmake --build --preset "$preset" -j "$jobs"; } >"$log" 2>&1; then
  tail -n 40 "$log"
  echo "run: the build failed" >&2
  exit 1
fi
if grep -q '^SCANFW_IMAGE_IS_PLACEHOLDER:INTERNAL=ON' "$build/CMakeCache.txt"; then
  echo "   (the executable carries the generated PLACEHOLDER image, not firmware: for this simulation only)"
fi

echo "== starting Wine (a prefix under $build, made once) with the simulated scanner and service"
# The image to compare with is read out of the executable's own resource.
exec python3 tests/e2e/e2e_test.py --live success_en \
  --exe "$build/scanfw.exe" \
  --driver "$build/tests/scanfwsim.sys" \
  --ctl "$build/tests/e2ectl.exe" \
  --standin "$build/tests/stisvc_standin.exe" \
  --prefix "$build/wineprefix-e2e" \
  --scenarios tests/scenarios \
  --records "$build/scenarios"
