#!/usr/bin/env bash
# Checks that the C++ sources are formatted as .clang-format says, without changing any: runs
# clang-format 14 (Debian's clang-format-14; another version formats differently and is
# refused) in dry-run mode over every tracked C++ file, or over the files named, and prints
# each file it would change. The project has no third-party or generated C++ under version
# control (generated sources go to build/), so every tracked file is checked.
#
# Exit status 0 when every file is formatted; 1 with the offending files listed otherwise; 2
# when it could not run (no clang-format 14).
#   tools/check-format.sh [FILE...]        CLANG_FORMAT=PROGRAM picks the binary
set -euo pipefail
cd "$(dirname "$0")/.."

wanted_major=14
program=${CLANG_FORMAT:-$(command -v clang-format-$wanted_major || command -v clang-format || true)}
if [ -z "$program" ]; then
  echo "check-format: no clang-format found; install Debian's clang-format-$wanted_major" >&2
  exit 2
fi
version=$("$program" --version 2>/dev/null | head -n 1 || true)
if ! [[ "$version" =~ clang-format\ version\ $wanted_major\. ]]; then
  echo "check-format: $program reports \"${version:-no version}\"; the formatting is pinned to" \
    "clang-format $wanted_major (Debian's clang-format-$wanted_major), refusing to check" >&2
  exit 2
fi

files=()
if [ $# -gt 0 ]; then
  files=("$@")
else
  mapfile -t files < <(git ls-files -- '*.cpp' '*.cc' '*.c' '*.h' '*.hpp')
fi

# One run over all of them; each place that would change is reported as
# "FILE:LINE:COLUMN: error: code should be clang-formatted".
report=$("$program" --style=file --dry-run --Werror "${files[@]}" 2>&1) && status=0 || status=$?
mapfile -t offenders < <(sed -n 's/^\(.*\):[0-9]*:[0-9]*: error: code should be clang-formatted.*/\1/p' \
  <<<"$report" | sort -u)
if [ "$status" -ne 0 ] && [ ${#offenders[@]} -eq 0 ]; then
  # A failure that is no formatting difference (a file that cannot be read, a broken
  # .clang-format): clang-format's own words.
  echo "$report" >&2
  echo "check-format: $program failed (exit status $status)" >&2
  exit 2
fi

if [ ${#offenders[@]} -gt 0 ]; then
  printf '%s\n' "${offenders[@]}"
  echo "check-format: ${#offenders[@]} of ${#files[@]} files differ from what $program" \
    "would write (fix with: $program -i FILE)" >&2
  exit 1
fi
echo "check-format: ${#files[@]} files formatted ($version)"
