#!/usr/bin/env bash
# Follows the README's install from source, line by line as written, in a clean clone of the
# repository's last commit. Its sudo installs nothing: "apt install" only checks that the
# packages named are there (scripts/bootstrap's), and "cmake --install" installs into a folder
# of the test (DESTDIR). Then the programs installed there answer.
# Usage: install_from_source_test.sh VERSION
set -euo pipefail
version=$1
tests=$(cd "$(dirname "$0")/.." && pwd)
source "$tests/world.sh"

git clone -q "$tests/.." "$dir/clone" || fail "cannot clone the repository"
lines=$(awk '/^<!-- install-from-source -->$/ { marked = 1; next }
             marked && /^```sh$/ { inside = 1; next }
             inside && /^```$/ { exit }
             inside' "$dir/clone/README.md")
[ -n "$lines" ] || fail "README.md has no install-from-source block"

sudo() {
  case $1 in
    apt | apt-get)
      local package
      for package in "${@:3}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
          fail "the README installs $package, which is not installed here"
      done
      ;;
    *) DESTDIR=$dir/root "$@" ;;
  esac
}
cd "$dir/clone"
while IFS= read -r line; do
  eval "$line" >>"$dir/log" 2>&1 || { tail -n 20 "$dir/log" >&2; fail "the README's line failed: $line"; }
done <<<"$lines"

for program in knobvane linescout knobvane-setup; do
  answer=$("$dir/root/usr/bin/$program" --version) || fail "$program --version failed"
  [ "$answer" = "$program $version" ] || fail "$program --version says: $answer"
done
[ -f "$dir/root/usr/lib/systemd/user/knobvane.service" ] || fail "no user unit installed"
