#!/usr/bin/env bash
# Checks the C++ sources' layout (clang-format 14, tools/check-format.sh), then builds every
# target and runs every test: native, native under AddressSanitizer and
# UBSan, the multi-channel concurrency test under ThreadSanitizer, and the Windows builds
# under Wine (the 32-bit build where this machine's kernel runs 32-bit code, the 64-bit build
# everywhere); the benchmarks built and each run once, briefly, so that they keep working (no
# figure is judged here: tools/bench.sh measures); the two-minute integrity soak of three faulty
# lines; then each fuzz target replays its corpus and runs for a bounded time
# (VPI_FUZZ_SECONDS, 60 by default; 0 skips the fuzzing). Exits non-zero on the first failing
# suite. The closing line counts every CTest test and every check once, as passed, failed or
# skipped; each skip is named above it with its reason.
#
# VPI_RUN_32BIT=0 takes this machine for one whose kernel runs no 32-bit code (to try that path
# on a machine that does).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh --windows --fuzz --bench --serve --package

log=$(mktemp)
trap 'rm -f "$log"' EXIT
passed=0
failed=0
skipped=()  # "preset: test (reason)" for every test that did not run
notes=()    # test cases skipped inside tests that passed: named, not counted

# The closing line, with the skips named above it.
summary() {
  local name
  for name in "${notes[@]}"; do echo "skipped case (its test passed): $name"; done
  for name in "${skipped[@]}"; do echo "skipped: $name"; done
  echo "$passed passed, $failed failed, ${#skipped[@]} skipped"
}

# Why CTest test $2 of preset $1 skipped: the first line of its output that says so.
skip_reason() {
  # LastTest.log: "I/N Testing: NAME", a few lines about the run, a rule of dashes, the output,
  # "<end of output>".
  awk -v name="$2" '
    $0 ~ "^[0-9]+/[0-9]+ Testing: " name "$" { test = 1; next }
    test && /^-+$/ { output = 1; next }
    output && /^<end of output>$/ { exit }
    output && tolower($0) ~ /skip/ { sub(/^\[  SKIPPED \] /, ""); print; exit }
  ' "build/$1/Testing/Temporary/LastTest.log" 2>/dev/null
}

# Counts a preset's run from its log: the tests CTest skipped (a skip exit status) are skipped,
# not passed; the test cases GoogleTest skipped inside tests that passed are named apart.
count_run() {
  local preset=$1 line total bad name reason whole=0
  # "N% tests passed, F tests failed out of T"; T counts the skipped tests too.
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [ -z "$line" ]; then
    echo "=== $preset: no test summary"
    return 1
  fi
  total=$(echo "$line" | sed -E 's/.* out of ([0-9]+).*/\1/')
  bad=$(echo "$line" | sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/')
  while read -r name; do
    [ -n "$name" ] || continue
    reason=$(skip_reason "$preset" "$name")
    skipped+=("$preset: $name (${reason:-no reason given})")
    whole=$((whole + 1))
  done < <(grep -E '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .*\*\*\*Skipped' "$log" |
             sed -E 's/.*Test +#[0-9]+: ([^ ]+).*/\1/')
  while read -r name; do
    [ -n "$name" ] && notes+=("$preset: $name")
  done < <(grep -hE '^\[  SKIPPED \] [^ ]+ \([0-9]+ ms\)' \
             "build/$preset/Testing/Temporary/LastTest.log" 2>/dev/null |
             sed -E 's/^\[  SKIPPED \] ([^ ]+).*/\1/' | sort -u)
  passed=$((passed + total - bad - whole))
  failed=$((failed + bad))
}

# Configures, builds and tests a preset; extra arguments go to ctest (a test filter).
run() {
  local preset=$1
  shift
  echo "=== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "=== $preset: tests"
  local status=0
  ctest --preset "$preset" "$@" 2>&1 | tee "$log" || status=$?
  count_run "$preset" || status=1
  if [ "$status" -ne 0 ]; then
    summary
    exit 1
  fi
}

# Whether this machine runs 32-bit x86 code: some kernels are built without it, and then
# every i386 program, Wine's 32-bit loader among them, fails with "Exec format error".
runs_32bit() {
  local loader=/usr/lib/wine/wine out
  case ${VPI_RUN_32BIT:-} in
    0) no32_reason="VPI_RUN_32BIT=0 takes this machine for one that runs no 32-bit code"; return 1 ;;
    1) return 0 ;;
  esac
  if [ ! -x "$loader" ]; then
    no32_reason="Wine's 32-bit loader ($loader) is not installed"
    return 1
  fi
  if out=$("$loader" --version 2>&1); then
    return 0
  fi
  if grep -qi 'exec format error' <<<"$out"; then
    no32_reason="this machine's kernel runs no 32-bit code"
  else
    no32_reason="Wine's 32-bit loader does not start: $(head -n 1 <<<"$out")"
  fi
  return 1
}

# The win32 build where no 32-bit code runs: what needs no execution is checked (the DLL's
# exports and imports, the zip's contents; the record layouts are pinned at compile time, so
# the build itself checks them), and every suite that would run a program is named as skipped.
win32_without_running() {
  local name unrun='^(module_symbols|test_package_zip_contents)$'
  run win32 -R "$unrun"
  while read -r name; do
    skipped+=("win32: $name ($no32_reason)")
  done < <(ctest --preset win32 -N -E "$unrun" |
             sed -nE 's/^ *Test +#[0-9]+: ([^ ]+).*/\1/p')
}

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

check "format: the C++ sources as .clang-format lays them out (clang-format 14)" \
  tools/check-format.sh
run native
run asan
run tsan
no32_reason=""
if runs_32bit; then
  echo "=== this machine runs 32-bit code: the win32 and win64 suites both run"
  run win32
else
  echo "=== $no32_reason: the win32 build is checked without running it; the win64 suites run"
  win32_without_running
fi
run win64
# The Wine tests start their prefixes' servers to persist between tests; nothing after this needs
# them, and left running they would take a share of the machine from the checks below.
for prefix in build/win32/wineprefix*/ build/win64/wineprefix*/; do
  [ -d "$prefix" ] && WINEPREFIX="$PWD/${prefix%/}" wineserver -k 2>/dev/null || true
done

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
  for target in gate reply channel modbus; do
    check "fuzz: $target, $fuzz_seconds s" tools/fuzz.sh "$fuzz_seconds" "$target"
  done
fi
summary
