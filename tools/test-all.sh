#!/usr/bin/env bash
# Builds every target and runs every test: native, native under AddressSanitizer and
# UBSan, and the Windows build under Wine. Exits non-zero on the first failing suite.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh --windows

run() {
  local preset=$1
  echo "=== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "=== $preset: tests"
  ctest --preset "$preset"
}

run native
run asan
run win32
echo "=== all suites passed"
