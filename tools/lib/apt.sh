# shellcheck shell=bash
# Package installation that copes with a Debian mirror caught mid-sync. Sourced by
# tools/install-deps.sh (and by its test, with a stub apt-get on PATH).
#
# A mirror that is being synced serves some index files with the wrong size. apt-get update
# then ignores those indexes (and still exits 0), and an install can no longer be resolved:
# packages of one architecture are missing their newer versions while the other's are
# installed ("held broken packages"). What helps is, in this order: fetching the lists again
# after a pause; preferring the release's own versions (-t CODENAME); and pinning the libraries
# that an exact-version dependency names to that version.
#
# Settings (environment): VPI_APT_TRIES (3), VPI_APT_PAUSE seconds between tries (10).

apt_cmd=(apt-get)
[ "$(id -u)" -eq 0 ] || apt_cmd=(sudo apt-get)

# The release's code name (bookworm), from os-release.
apt_release() {
  (. "${VPI_OS_RELEASE:-/etc/os-release}" && echo "${VERSION_CODENAME:-}")
}

# Fetches the package lists, again after a pause while an index fails. Goes on with the lists
# it has after the last try, naming the indexes that failed. Always returns 0.
apt_update() {
  local tries=${VPI_APT_TRIES:-3} pause=${VPI_APT_PAUSE:-10} try out failed
  for ((try = 1; try <= tries; try++)); do
    out=$("${apt_cmd[@]}" update -qq 2>&1) || true
    failed=$(grep -oE 'Failed to fetch [^ ]+' <<<"$out" | sed 's/^Failed to fetch //' | sort -u || true)
    if [ -z "$failed" ]; then
      return 0
    fi
    echo "apt-get update, try $try of $tries: an index failed to download:" >&2
    sed 's/^/  /' <<<"$failed" >&2
    ((try < tries)) && sleep "$pause"
  done
  echo "going on with the package lists apt has; these indexes are missing:" >&2
  sed 's/^/  /' <<<"$failed" >&2
  return 0
}

# Installs the packages given, trying harder when apt cannot resolve them: first as asked, then
# preferring the release's own versions, then also pinning each library that an exact-version
# dependency names to that version. Returns 0 when all are installed; otherwise names those
# that are not and returns 1.
apt_install() {
  local release out pins
  release=$(apt_release)
  if out=$(apt_get_install "$@"); then
    return 0
  fi
  echo "$out" | tail -n 20 >&2
  if [ -n "$release" ]; then
    echo "apt-get could not resolve the install; trying again with $release's own versions" >&2
    if out=$(apt_get_install -t "$release" "$@"); then
      return 0
    fi
    # "libfoo1:i386 : Depends: libbar1 (= 1.2-3) but 1.2-3+deb12u1 is to be installed"
    # (an installed library newer than the release's; not "but it is not going to be installed")
    pins=$(grep -oE 'Depends: [^ ]+ \(= [^)]+\) but [^ ]+ is to be installed' <<<"$out" |
             sed -E 's/Depends: ([^ ]+) \(= ([^)]+)\) but.*/\1=\2/' | sort -u || true)
    if [ -n "$pins" ]; then
      echo "pinning to $release's versions: ${pins//$'\n'/ }" >&2
      # shellcheck disable=SC2086 # one word per pin
      if out=$(apt_get_install -t "$release" --allow-downgrades "$@" $pins); then
        return 0
      fi
    fi
    echo "$out" | tail -n 20 >&2
  fi
  local p missing=()
  for p in "$@"; do
    apt_installed "$p" || missing+=("$p")
  done
  echo "could not install: ${missing[*]}" >&2
  return 1
}

apt_get_install() {
  DEBIAN_FRONTEND=noninteractive "${apt_cmd[@]}" install -y -qq "$@" 2>&1
}

# True when the package (name or name:arch) is installed.
apt_installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}
