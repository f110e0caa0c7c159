#!/bin/sh
# Runs one Windows program under Wine, in a 32-bit prefix private to the build tree.
# The prefix is made once (under a lock, since CTest runs tests in parallel) and its
# wineserver is kept alive between programs, which saves a second per test.
set -eu
exe=$1
shift
dir=$(cd "$(dirname "$exe")" && pwd)
export WINEPREFIX="${VPI_WINEPREFIX:-$dir/wineprefix}"
export WINEARCH=win32
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  flock "$WINEPREFIX.lock" sh -c '[ -f "$WINEPREFIX/system.reg" ] || wineboot -i >/dev/null 2>&1 || true'
fi
# A persistent server, started outside any controlling terminal, so that a byte 0x03 arriving
# on a pseudo-terminal under test can never signal the Windows program.
setsid wineserver -p >/dev/null 2>&1 < /dev/null || true
exec wine "$exe" "$@"
