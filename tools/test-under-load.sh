#!/usr/bin/env bash
# Runs the CTest suites of the given presets RUNS times in a row while two fuzzers keep both
# cores busy, to show that no test depends on an idle machine. The presets must be configured
# (tools/test-all.sh does that); they are brought up to date first, the fuzz targets built by
# tools/fuzz.sh. Prints one line per suite and run, and at the end the runs that failed.
#   tools/test-under-load.sh [RUNS] [PRESET...]     default: 3 runs of native asan tsan win32
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
[ $# -gt 0 ] && shift
presets=${*:-native asan tsan win32}

for preset in $presets; do cmake --build --preset "$preset" >/dev/null; done
tools/fuzz.sh 1 gate reply >/dev/null 2>&1

# The load: each fuzzer takes one core for as long as the runs last (it stops itself after a
# day at the latest; the trap stops it sooner).
fuzzers=()
work=$(mktemp -d)
stop_fuzzers() {
  [ ${#fuzzers[@]} -gt 0 ] && kill "${fuzzers[@]}" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap stop_fuzzers EXIT
for t in gate reply; do
  mkdir -p "$work/$t"
  build/fuzz/fuzz_"$t" -max_total_time=86400 -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
    -dict=fuzz/dict/"$t".dict "$work/$t" fuzz/corpus/"$t" >/dev/null 2>&1 &
  fuzzers+=($!)
done
sleep 2
echo "load: ${#fuzzers[@]} fuzzers running; $(cut -d' ' -f1-3 /proc/loadavg) load average"

failures=()
for run in $(seq 1 "$runs"); do
  for preset in $presets; do
    log=build/"$preset"/under-load-"$run".log
    start=$(date +%s)
    if ctest --preset "$preset" >"$log" 2>&1; then verdict=passed; else verdict=FAILED; fi
    summary=$(grep -E '^[0-9]+% tests passed' "$log" | tail -n 1 || true)
    echo "run $run, $preset: $verdict in $(( $(date +%s) - start )) s (${summary:-no summary})," \
      "load $(cut -d' ' -f1 /proc/loadavg)"
    if [ "$verdict" = FAILED ]; then
      failures+=("run $run, $preset: see $log")
      grep -E '\*\*\*Failed|\*\*\*Timeout|\(Failed\)' "$log" || true
    fi
  done
done

if [ ${#failures[@]} -gt 0 ]; then
  printf '%s\n' "${failures[@]}"
  exit 1
fi
echo "all $runs runs passed under load"
