#!/bin/sh
# Runs one Windows program under Wine, in a 32-bit prefix private to the build tree.
# The prefix is made once (under a lock, since CTest runs tests in parallel); its server and
# services are started once, detached and with none of our streams, so that they neither hold
# CTest's output pipe open (which would hang the run) nor sit on a controlling terminal where
# a byte 0x03 from a pseudo-terminal under test could signal them.
set -eu
exe=$1
shift
dir=$(cd "$(dirname "$exe")" && pwd)
export WINEPREFIX="${VPI_WINEPREFIX:-$dir/wineprefix}"
export WINEARCH=win32
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
mkdir -p "$(dirname "$WINEPREFIX")"
flock "$WINEPREFIX.lock" sh -c '
  [ -f "$WINEPREFIX/system.reg" ] || wineboot -i
  if ! wineserver -k0 2>/dev/null; then
    setsid sh -c "wineserver -f -p &"
    wine cmd /c exit
  fi' </dev/null >/dev/null 2>&1 || true
exec wine "$exe" "$@"
