#!/usr/bin/env bash
# How long `scanfw --all` takes against `scanfw --all --one-at-a-time` with
# N simulated scanners whose burns take 20 s each: the median wall time of
# three runs of each, under umockdev (build/linux/scanfw against the usbfs
# testbed) and under Wine (build/windows-x64, else build/windows, against the
# simulated driver and the stand-in service). A benchmark, not a test: it
# builds and installs nothing (build the presets first) and prints a table.
#
#   scripts/bench-all.sh [--scanners "1 2 4 8"] [--runs 3] [--burn-ms 20000]
#                        [--harness "umockdev wine"] [--work DIR]
#
# Each run is bounded (the testbed kills scanfw, the Wine harness kills the
# process) by 60 s plus 60 s and the burn for every scanner.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
scanners="1 2 4 8" runs=3 burn_ms=20000 harnesses="umockdev wine" work=""
while [ $# -gt 0 ]; do
  case "$1" in
    --scanners) scanners=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --burn-ms) burn_ms=$2; shift 2 ;;
    --harness) harnesses=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    -h|--help) sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "bench-all: unknown argument $1 (see --help)" >&2; exit 2 ;;
  esac
done
for n in $scanners; do
  [[ $n =~ ^[0-9]+$ ]] && [ "$n" -ge 1 ] && [ "$n" -le 16 ] ||
    { echo "bench-all: $n scanners: 1 to 16" >&2; exit 2; }
done
if [ -z "$work" ]; then
  work=$(mktemp -d /tmp/scanfw-bench.XXXXXX)
  trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work/scn" "$work/rec"

# What a CMake build tree holds: a cache entry, or a file by name.
cached() { sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt" 2>/dev/null | head -n 1; }
# (Not a copy inside a Wine prefix, which may be an older build's.)
built() {
  find "$1" -path '*/wineprefix*' -prune -o -name "$2" -type f -print -quit 2>/dev/null
}
median() { tr ' ' '\n' | grep . | sort -g | awk '{v[NR]=$1} END {
  if (NR % 2) print v[(NR+1)/2]; else printf "%.2f\n", (v[NR/2]+v[NR/2+1])/2 }'; }

# One scenario per harness, scanner count and mode: N scanners at indices
# 0..N-1 whose burns take burn_ms. The testbed takes its bound from elapsed:.
limit_s() { echo $((60 + $1 * (60 + burn_ms / 1000))); }
for h in $harnesses; do
  case "$h" in umockdev|wine) ;; *) echo "bench-all: harness $h: umockdev or wine" >&2; exit 2 ;; esac
  for n in $scanners; do
    for mode in all seq; do
      {
        echo "title: bench, $n scanners burning ${burn_ms} ms, $mode"
        [ "$mode" = all ] && echo "args: --all --exit-code" ||
          echo "args: --all --exit-code --one-at-a-time"
        for ((i = 0; i < n; i++)); do echo "device: $i 3a7c 4e21"; done
        echo "burn-time: $burn_ms"
        if [ "$h" = umockdev ]; then echo "elapsed: 0 $(limit_s "$n")"; fi
      } > "$work/scn/${h}_${n}_${mode}.scn"
    done
  done
done
python3 "$root/tests/sim/scncc.py" plan "$work/scn" "$work/rec" >/dev/null

# The whole benchmark's time, roughly: a scanner takes the burn and about 6 s
# (readiness, transfer, the 6-second pause); side by side N take about one's.
one=$((burn_ms / 1000 + 6)) side=0 turns=0
for h in $harnesses; do
  for n in $scanners; do
    side=$((side + runs * (n + 1) * one)) turns=$((turns + runs * 2 * n * one))
  done
done
echo "bench-all: scanners $scanners, $runs runs each, burns of $burn_ms ms, harnesses" \
     "$harnesses: about $(((side + 59) / 60)) min when --all runs side by side," \
     "$(((turns + 59) / 60)) min when it runs one at a time" >&2

declare -A result
time_umockdev() { # N MODE -> the seconds of each run
  local linux=$root/build/linux out s list=""
  local exe=$linux/scanfw testbed preload image
  testbed=$(built "$linux" scanfw_usb_testbed)
  preload=$(cached "$linux" SCANFW_UMOCKDEV_PRELOAD)
  image=$(cached "$linux" SCANFW_IMAGE_FILE)
  if [ ! -x "$exe" ] || [ -z "$testbed" ] || [ -z "$preload" ]; then
    echo "bench-all: build/linux lacks scanfw, the testbed or umockdev" \
         "(cmake --preset linux && cmake --build --preset linux)" >&2
    return 1
  fi
  for ((r = 0; r < runs; r++)); do
    if ! out=$("$testbed" --timing --exe "$exe" --preload "$preload" --image "$image" \
               --record "$work/rec/umockdev_$1_$2.rec" 2>&1) ||
       ! s=$(sed -n 's/^scanfw ran \([0-9.]*\) s, ended with exit status 0$/\1/p' <<<"$out") ||
       [ -z "$s" ]; then
      echo "bench-all: umockdev, $1 scanners, $2: the run failed:" >&2
      tail -n 40 <<<"$out" >&2
      return 1
    fi
    list+=" $s"
  done
  echo "$list"
}

time_wine() { # N MODE -> the seconds of each run
  local build="" exe driver ctl standin out line
  for b in "$root/build/windows-x64" "$root/build/windows"; do
    [ -f "$b/scanfw.exe" ] && { build=$b; break; }
  done
  driver=$(built "$build" scanfwsim.sys)
  ctl=$(built "$build" e2ectl.exe)
  standin=$(built "$build" stisvc_standin.exe)
  if [ -z "$build" ] || [ -z "$driver" ] || [ -z "$ctl" ] || [ -z "$standin" ]; then
    echo "bench-all: no Windows build with its e2e helpers" \
         "(cmake --preset windows-x64 && cmake --build --preset windows-x64)" >&2
    return 1
  fi
  [ -d "$build/wineprefix-template" ] && export SCANFW_WINE_TEMPLATE=$build/wineprefix-template
  out=$(python3 "$root/tests/e2e/e2e_test.py" --time --runs "$runs" \
          --time-limit "$(limit_s "$1")" --exe "$build/scanfw.exe" --driver "$driver" \
          --ctl "$ctl" --standin "$standin" --prefix "$build/wineprefix-bench" \
          --scenarios "$work/scn" --records "$work/rec" \
          --image "$(cached "$build" SCANFW_IMAGE_FILE)" --only "wine_$1_$2" 2>&1) || true
  line=$(grep "^time wine_$1_$2 " <<<"$out" || true)
  if [ -z "$line" ]; then
    echo "bench-all: Wine, $1 scanners, $2: the run failed:" >&2
    tail -n 40 <<<"$out" >&2
    return 1
  fi
  echo "${line#time wine_$1_$2 }"
}

started=$SECONDS
failed=0
for h in $harnesses; do
  for n in $scanners; do
    for mode in all seq; do
      if times=$("time_$h" "$n" "$mode"); then
        result[$h,$n,$mode]=$(median <<<"$times")
        echo "bench-all: $h, $n scanners, $mode: runs of ${times# } s" >&2
      else
        result[$h,$n,$mode]=-
        failed=1
      fi
    done
  done
done

printf '%3s  %-9s %14s %22s %7s\n' N harness "--all median s" "--one-at-a-time median s" ratio
for h in $harnesses; do
  for n in $scanners; do
    a=${result[$h,$n,all]} s=${result[$h,$n,seq]}
    ratio=-
    [ "$a" != - ] && [ "$s" != - ] && ratio=$(awk -v a="$a" -v s="$s" 'BEGIN { printf "%.2f", a / s }')
    printf '%3s  %-9s %14s %22s %7s\n' "$n" "$h" "$a" "$s" "$ratio"
  done
done
echo "bench-all: $((SECONDS - started)) s in all" >&2
exit $failed
