#!/usr/bin/env bash
# Runs one Windows program under Wine, in a prefix private to the build tree: a 32-bit prefix
# and Wine's 32-bit loader for the win32 build, a 64-bit prefix and the 64-bit loader (wine64)
# for the win64 build (VPI_WINEARCH, set by the toolchain file; win32 when unset).
#
# The prefix is made once, under a lock since CTest runs tests in parallel. The prefix's server
# and services are started here, detached, with none of our descriptors: a service that kept
# CTest's output pipe (or the lock) open would hang the whole run, and one that sat on a
# controlling terminal could be signalled by a byte 0x03 from a pseudo-terminal under test.
set -euo pipefail
exe=$1
shift
dir=$(cd "$(dirname "$exe")" && pwd)
export WINEPREFIX="${VPI_WINEPREFIX:-$dir/wineprefix}"
export WINEARCH="${VPI_WINEARCH:-win32}"
# Debian's `wine` always takes the 32-bit loader when it is installed, so the 64-bit one is
# named (Debian keeps it out of PATH) and told to Wine as its loader.
loader=wine
if [ "$WINEARCH" = win64 ]; then
  loader=$(command -v wine64 || echo /usr/lib/wine/wine64)
  export WINELOADER=$loader
fi
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
mkdir -p "$(dirname "$WINEPREFIX")"

start_prefix() {
  [ -f "$WINEPREFIX/system.reg" ] || "$loader" wineboot -i
  # A second server started while one runs just exits.
  setsid sh -c 'wineserver -f -p &'
  "$loader" cmd /c exit
}

(
  exec 9>"$WINEPREFIX.lock"
  flock 9
  for fd in "/proc/$BASHPID"/fd/*; do
    n=${fd##*/}
    if [ "$n" -gt 2 ] && [ "$n" -ne 9 ]; then eval "exec $n>&-"; fi
  done
  (exec 9>&-; start_prefix) </dev/null >/dev/null 2>&1 || true
)
exec "$loader" "$exe" "$@"
