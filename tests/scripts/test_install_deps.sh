#!/usr/bin/env bash
# The package installation's way through a mirror caught mid-sync, against a stub apt-get on
# PATH that fails the way such a mirror does: an index with the wrong size, and an install that
# resolves only with the release's own versions, or only with one library pinned to them.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
lib=$here/../../tools/lib/apt.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin"
fails=0
fail() { echo "FAIL: $*"; fails=$((fails + 1)); }

# apt-get: every call logged, one line each. STUB_UPDATE_OK_AT: the try at which update gets
# every index (0: never). STUB_INSTALL: as-asked | release | pin | never, what an install needs.
cat >"$work/bin/apt-get" <<'STUB'
#!/usr/bin/env bash
echo "$*" >>"$STUB_DIR/calls"
case $1 in
  update)
    n=$(grep -c '^update' "$STUB_DIR/calls")
    if [ "${STUB_UPDATE_OK_AT:-0}" -ne 0 ] && [ "$n" -ge "$STUB_UPDATE_OK_AT" ]; then exit 0; fi
    echo "E: Failed to fetch http://mirror.test/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 192.0.2.1 80]"
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
    exit 100 ;;
  install)
    args=" $* "
    ok=0
    case $STUB_INSTALL in
      as-asked) ok=1 ;;
      release) [[ $args == *" -t bookworm "* ]] && ok=1 ;;
      pin) [[ $args == *" -t bookworm "* && $args == *" libbar1:i386=1.2-3 "* ]] && ok=1 ;;
    esac
    if [ $ok -eq 1 ]; then
      for a in "$@"; do [[ $a == -* || $a == install || $a == bookworm || $a == *=* ]] || echo "$a" >>"$STUB_DIR/installed"; done
      exit 0
    fi
    echo "The following packages have unmet dependencies:"
    [ "$STUB_INSTALL" = pin ] && [[ $args == *" -t bookworm "* ]] &&
      echo " libfoo1:i386 : Depends: libbar1:i386 (= 1.2-3) but 1.2-3+deb12u1 is to be installed"
    echo " wine32:i386 : Depends: libwine:i386 (= 8.0~repack-4) but it is not going to be installed"
    echo "E: Unable to correct problems, you have held broken packages."
    exit 100 ;;
esac
STUB
cat >"$work/bin/dpkg-query" <<'STUB'
#!/usr/bin/env bash
grep -qx "${@: -1}" "$STUB_DIR/installed" 2>/dev/null && echo "install ok installed"
exit 0
STUB
chmod +x "$work/bin/apt-get" "$work/bin/dpkg-query"
echo 'VERSION_CODENAME=bookworm' >"$work/os-release"

# Runs one scenario in a fresh shell: stub state reset, the library sourced, $1 run.
scenario() {
  rm -f "$work/calls" "$work/installed"
  env PATH="$work/bin:$PATH" STUB_DIR="$work" VPI_APT_PAUSE=0 VPI_OS_RELEASE="$work/os-release" \
    STUB_UPDATE_OK_AT="${update_ok_at:-0}" STUB_INSTALL="${install:-as-asked}" \
    bash -c ". '$lib'; $1" >"$work/out" 2>&1 && status=0 || status=$?
}
calls() { cat "$work/calls" 2>/dev/null; }

# An index that never arrives: three tries, then on with what apt has, the index named.
update_ok_at=0 scenario apt_update
[ $status -eq 0 ] || fail "update with a failing index returned $status"
[ "$(calls | grep -c '^update')" -eq 3 ] || fail "update was tried $(calls | grep -c '^update') times, not 3"
grep -q 'missing:' "$work/out" && grep -q 'binary-i386/Packages.xz' "$work/out" ||
  fail "the missing index is not named: $(cat "$work/out")"

# An index that arrives on the second try: no third.
update_ok_at=2 scenario apt_update
[ "$(calls | grep -c '^update')" -eq 2 ] || fail "update went on after a clean try: $(calls)"
grep -q 'missing:' "$work/out" && fail "an index is called missing after a clean try"

# Resolvable as asked: one install.
install=as-asked scenario 'apt_install wine32:i386 gcovr'
[ $status -eq 0 ] && [ "$(calls | grep -c '^install')" -eq 1 ] || fail "plain install: $status, $(calls)"

# Resolvable only with the release's own versions: the second try has -t bookworm.
install=release scenario 'apt_install wine32:i386 gcovr'
[ $status -eq 0 ] || fail "install with the release's versions returned $status: $(cat "$work/out")"
calls | sed -n 2p | grep -q -- '-t bookworm .*wine32:i386 gcovr' || fail "no -t bookworm retry: $(calls)"

# Resolvable only with the exact-version dependency pinned: the third try pins it.
install=pin scenario 'apt_install wine32:i386 gcovr'
[ $status -eq 0 ] || fail "install with a pinned library returned $status: $(cat "$work/out")"
calls | sed -n 3p | grep -qx -- 'install -y -qq -t bookworm --allow-downgrades wine32:i386 gcovr libbar1:i386=1.2-3' ||
  fail "no pinned retry: $(calls)"

# Not resolvable at all: non-zero, and the packages not installed are named.
install=never scenario 'apt_install wine32:i386 gcovr'
[ $status -ne 0 ] || fail "an unresolvable install returned 0"
grep -q 'could not install: wine32:i386 gcovr' "$work/out" || fail "not named: $(cat "$work/out")"

[ $fails -eq 0 ] || exit 1
echo "install-deps through a mid-sync mirror: OK"
