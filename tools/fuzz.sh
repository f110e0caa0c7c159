#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer),
# replays each checked-in corpus and regression file, then fuzzes each target for SECONDS
# (default 60). New inputs go to build/fuzz/corpus-<target>, not into the tree.
#   tools/fuzz.sh [SECONDS] [TARGET...]      TARGET: gate reply channel modbus (default: all)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
[ $# -gt 0 ] && shift
targets=${*:-gate reply channel modbus}
build=${VPI_FUZZ_BUILD:-$root/build/fuzz}
jobs=${VPI_JOBS:-2}
flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g"

CC=${CC:-clang-14} CXX=${CXX:-clang++-14} cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVPI_FUZZ=ON -DVPI_BUILD_TESTS=OFF \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" >/dev/null
for t in $targets; do
  cmake --build "$build" -j"$jobs" --target "fuzz_$t"
done

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for t in $targets; do
  dict="$root/fuzz/dict/$t.dict"
  seeds="$root/fuzz/corpus/$t"
  regressions="$root/fuzz/regressions/$t"
  work="$build/corpus-$t"
  mkdir -p "$work" "$build/crashes-$t"
  echo "== $t: replaying the corpus and the regressions"
  replay=$(find "$seeds" "$regressions" -type f ! -name '.*' 2>/dev/null || true)
  # shellcheck disable=SC2086
  [ -n "$replay" ] && "$build/fuzz_$t" $replay
  echo "== $t: fuzzing for $seconds s"
  "$build/fuzz_$t" -max_total_time="$seconds" -dict="$dict" -max_len=4096 -timeout=10 \
    -rss_limit_mb=2048 -artifact_prefix="$build/crashes-$t/" -print_final_stats=1 \
    "$work" "$seeds"
done
