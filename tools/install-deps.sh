#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and test satec-vpi: the native and
# the i686 and x86-64 MinGW-w64 (posix threads) tool chains, Wine with both halves, ccache, the host tool's
# header-only libraries, a comma-decimal locale for the locale test, clang for the fuzzers,
# Google Benchmark for the benchmarks and gcovr for the coverage report; with --serve what
# vpihost serve is tested with: Prometheus with promtool, Chromium with its WebDriver and
# Selenium; with --package what the Debian package is built and checked with: dpkg-shlibdeps
# (dpkg-dev), lintian, systemd-analyze (systemd) and man (man-db, for the manual pages).
# Every build gets toml++, libmicrohttpd with GnuTLS (serve's HTTP side), yaml-cpp
# (its web configuration file), libsystemd (its readiness and watchdog), libmosquitto and libmodbus
# (its MQTT and Modbus TCP outputs), npm and the page's chart library from its lock file
# (host/site/web); --serve adds the broker, the Modbus clients, wrk and openssl the outputs and the
# HTTP side are tested with, and htpasswd (apache2-utils: a bcrypt that is not the system's crypt,
# for hash-password's test). Runs apt and npm only when something is missing; a package mirror
# that is mid-sync is retried and worked around (tools/lib/apt.sh).
# Usage: tools/install-deps.sh [--windows] [--fuzz] [--bench] [--coverage] [--serve] [--package]
set -euo pipefail

want_windows=0
want_fuzz=0
want_bench=0
want_coverage=0
want_serve=0
want_package=0
for arg in "$@"; do
  case $arg in
    --windows) want_windows=1 ;;
    --fuzz) want_fuzz=1 ;;
    --bench) want_bench=1 ;;
    --coverage) want_coverage=1 ;;
    --serve) want_serve=1 ;;
    --package) want_package=1 ;;
    *) echo "usage: $0 [--windows] [--fuzz] [--bench] [--coverage] [--serve] [--package]" >&2; exit 64 ;;
  esac
done

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
# shellcheck source=lib/apt.sh
. "$(dirname "$0")/lib/apt.sh"

# toml++ and libmicrohttpd build vpihost on every machine (the site file, serve); clang-format-14
# checks the sources' layout (tools/check-format.sh).
packages=(cmake make g++ python3 googletest libcli11-dev libfmt-dev nlohmann-json3-dev locales
          libtomlplusplus-dev pkg-config ccache clang-format-14
          libmicrohttpd-dev libgnutls28-dev libyaml-cpp-dev libsystemd-dev libmosquitto-dev
          libmodbus-dev)
# Both Windows targets: win32 runs where the kernel runs 32-bit code, win64 everywhere.
[ $want_windows -eq 1 ] && packages+=(g++-mingw-w64-i686-posix binutils-mingw-w64-i686
                                      g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
                                      wine wine64 wine32:i386)
[ $want_fuzz -eq 1 ] && packages+=(clang-14 libclang-rt-14-dev)
[ $want_bench -eq 1 ] && packages+=(libbenchmark-dev)
[ $want_coverage -eq 1 ] && packages+=(gcovr)
if [ $want_serve -eq 1 ]; then
  packages+=(prometheus chromium chromium-driver python3-selenium mosquitto mosquitto-clients
             mbpoll python3-pymodbus wrk openssl apache2-utils)
fi
[ $want_package -eq 1 ] && packages+=(dpkg-dev lintian systemd man-db)
# npm installs the page's chart library for every Linux build; it comes with Debian's nodejs,
# and a machine with a node of its own has its npm already.
command -v npm >/dev/null || packages+=(npm)

missing=()
for p in "${packages[@]}"; do
  apt_installed "$p" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  if [ $want_windows -eq 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo_cmd[@]}" dpkg --add-architecture i386
  fi
  apt_update
  apt_install "${missing[@]}"
fi

# A locale whose decimal separator is a comma, for the test that the driver's number
# conversions ignore the host's locale.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  "${sudo_cmd[@]}" localedef -i de_DE -f UTF-8 de_DE.UTF-8 || echo "note: no de_DE locale; that test will skip"
fi

# The page's chart library, from the lock file (the build runs the same when it is missing).
if [ ! -f "$(dirname "$0")/../host/site/web/node_modules/uplot/package.json" ]; then
  (cd "$(dirname "$0")/../host/site/web" && npm ci --no-audit --no-fund)
fi
