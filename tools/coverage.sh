#!/usr/bin/env bash
# Line and branch coverage of the driver module from the native test suite: builds the
# `coverage` preset (gcov, -O0), runs every test there, and reports with gcovr per file and in
# total, plus an HTML report at build/coverage/coverage/index.html.
#
# Measured: driver/, protocol/, address/, the shared serial core and the POSIX back-end with
# its termios2 part. Not measured: the fake back-end (test equipment) and the Win32 back-end
# (native gcov never runs it).
#
# Exits non-zero when a test fails. Usage: tools/coverage.sh [--no-build]
set -euo pipefail
cd "$(dirname "$0")/.."

build=1
for arg in "$@"; do
  case $arg in
    --no-build) build=0 ;;
    *) echo "usage: $0 [--no-build]" >&2; exit 64 ;;
  esac
done

dir=build/coverage
if [ $build -eq 1 ]; then
  tools/install-deps.sh --coverage
  cmake --preset coverage >/dev/null
  cmake --build --preset coverage
fi

# Counters add up across runs: start from zero so that the figures are this run's.
find "$dir" -name '*.gcda' -delete

status=0
ctest --preset coverage || status=$?

filters=(
  --filter 'driver/'
  --filter 'protocol/'
  --filter 'address/'
  --filter 'serial/serial_core\.cpp'
  --filter 'serial/serial_posix\.cpp'
  --filter 'serial/serial_posix_termios2\.cpp'
)
# Throw branches: the suites' own exceptions inlined from the standard library. Unreachable
# branches: those gcc itself marks as never taken (cleanup paths of -O0 code).
common=(--root . --exclude-throw-branches --exclude-unreachable-branches)
tracefile=$dir/coverage.json

gcovr "${common[@]}" --object-directory "$dir" "${filters[@]}" --json "$tracefile" "$dir"
mkdir -p "$dir/coverage"
gcovr "${common[@]}" --add-tracefile "$tracefile" --txt
gcovr "${common[@]}" --add-tracefile "$tracefile" --txt --branches
gcovr "${common[@]}" --add-tracefile "$tracefile" --print-summary \
  --html-details "$dir/coverage/index.html" >"$dir/coverage/summary.txt"
echo "totals:"
grep -E '^(lines|branches):' "$dir/coverage/summary.txt"
echo "HTML report: $dir/coverage/index.html"

if [ $status -ne 0 ]; then
  echo "coverage: some tests failed (ctest status $status)" >&2
fi
exit $status
