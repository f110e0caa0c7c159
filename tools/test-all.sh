#!/usr/bin/env bash
# Builds every target and runs every test: native, native under AddressSanitizer and
# UBSan, the multi-channel concurrency test under ThreadSanitizer, and the Windows build
# under Wine; the benchmarks built and each run once, briefly, so that they keep working (no
# figure is judged here: tools/bench.sh measures); the two-minute integrity soak of three faulty
# lines; then each fuzz target replays its corpus and runs for a bounded time
# (VPI_FUZZ_SECONDS, 60 by default; 0 skips the fuzzing). Exits non-zero on the first failing
# suite.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh --windows --fuzz --bench --serve

log=$(mktemp)
trap 'rm -f "$log"' EXIT
passed=0
failed=0
skipped=()  # "preset: test" for every test or test case that was skipped

# The closing line, with the skipped tests named above it.
summary() {
  local name
  for name in "${skipped[@]}"; do echo "skipped: $name"; done
  echo "$passed passed, $failed failed, ${#skipped[@]} skipped"
}

# Collects the skips of a preset's run: whole tests CTest skipped (a skip exit status) and
# the test cases GoogleTest skipped inside tests that passed.
collect_skips() {
  local preset=$1 name
  while read -r name; do
    [ -n "$name" ] && skipped+=("$preset: $name")
  done < <(grep -E '^[0-9]+/[0-9]+ Test +#[0-9]+: .*\*\*\*Skipped' "$log" |
             sed -E 's/.*Test +#[0-9]+: ([^ ]+).*/\1/')
  while read -r name; do
    [ -n "$name" ] && skipped+=("$preset: $name")
  done < <(grep -hE '^\[  SKIPPED \] [^ ]+ \([0-9]+ ms\)' \
             "build/$preset/Testing/Temporary/LastTest.log" 2>/dev/null |
             sed -E 's/^\[  SKIPPED \] ([^ ]+).*/\1/' | sort -u)
}

run() {
  local preset=$1
  echo "=== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "=== $preset: tests"
  local status=0
  ctest --preset "$preset" 2>&1 | tee "$log" || status=$?
  # "N% tests passed, F tests failed out of T"
  local line total bad
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  total=$(echo "$line" | sed -E 's/.* out of ([0-9]+).*/\1/')
  bad=$(echo "$line" | sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/')
  if [ -z "$line" ]; then
    echo "=== $preset: no test summary"
    exit 1
  fi
  passed=$((passed + total - bad))
  failed=$((failed + bad))
  collect_skips "$preset"
  if [ "$status" -ne 0 ] || [ "$bad" -ne 0 ]; then
    summary
    exit 1
  fi
}

run native
run asan
run tsan
run win32
# The Wine tests start their prefixes' servers to persist between tests; nothing after this needs
# them, and left running they would take a share of the machine from the checks below.
for prefix in build/win32/wineprefix*/; do
  [ -d "$prefix" ] && WINEPREFIX="$PWD/${prefix%/}" wineserver -k 2>/dev/null || true
done

# One check that is not a CTest suite: counted as one test; the run stops at the first failure.
check() {
  local what=$1
  shift
  echo "=== $what"
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "=== failed: $what"
    summary
    exit 1
  fi
}

# Every exchange benchmark reports its failed reads as "<figure>.failures N"; all must be 0.
bench_smoke() {
  local out=build/bench/smoke.txt
  cmake --preset bench >/dev/null && cmake --build --preset bench &&
    build/bench/vpi_bench_micro --benchmark_min_time=0.001 >/dev/null &&
    { build/bench/vpi_bench_exchange unpaced 2 && build/bench/vpi_bench_exchange scaling 2 1 &&
      build/bench/vpi_bench_exchange stale 2; } >"$out" &&
    grep -q 'failures' "$out" && ! grep 'failures' "$out" | grep -qv ' 0\.000$'
}

check "bench: build and a brief run of each benchmark" bench_smoke
check "soak: three faulty lines polled for 2 minutes, every value checked" tools/soak.sh 2

fuzz_seconds=${VPI_FUZZ_SECONDS:-60}
if [ "$fuzz_seconds" -gt 0 ]; then
  for target in gate reply channel; do
    check "fuzz: $target, $fuzz_seconds s" tools/fuzz.sh "$fuzz_seconds" "$target"
  done
fi
summary
