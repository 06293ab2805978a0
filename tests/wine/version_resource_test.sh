#!/usr/bin/env bash
# Windows programs carry the project's version in their VERSIONINFO resource, numeric and as
# text, so Explorer's Properties show which version is installed. Read back with windres,
# which decompiles a program's resources. Exits 77 (skipped) when the first program is not
# built.
# Usage: version_resource_test.sh WINDRES VERSION PROGRAM.exe...
set -euo pipefail
windres=$1 version=$2
shift 2

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

[ -e "$1" ] || {
  echo "skipped: $1 is not built"
  exit 77
}

IFS=. read -r major minor patch <<<"$version"
for exe in "$@"; do
  name=$(basename "$exe" .exe)
  resources=$("$windres" -i "$exe" -O rc) || fail "$windres cannot read $exe"
  for expected in "FILEVERSION $major, $minor, $patch, 0" "PRODUCTVERSION $major, $minor, $patch, 0" \
    "VALUE \"FileVersion\", \"$version\"" "VALUE \"ProductVersion\", \"$version\"" \
    'VALUE "ProductName", "Knobvane"' "VALUE \"OriginalFilename\", \"$name.exe\""; do
    grep -qF "$expected" <<<"$resources" || fail "$exe: no $expected in its version resource:"$'\n'"$resources"
  done
  echo "$exe carries version $version"
done
echo "PASS: version $version in" "$@"
