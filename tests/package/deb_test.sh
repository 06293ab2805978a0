#!/usr/bin/env bash
# The .deb that scripts/package made, checked as Debian's tools and a user see it, unpacked
# into a private folder: nothing is installed on this machine. Exits 77 (skipped) when dist/
# holds no .deb of this version (scripts/package makes it; scripts/test runs that first).
# Usage: deb_test.sh CASE DIST-FOLDER VERSION [PATH/TO/adc-box [FIRMWARE-BUILD]]
set -euo pipefail
case_name=$1 dist=$2 version=$3 adc_box=${4:-} firmware_build=${5:-}
tests=$(cd "$(dirname "$0")/.." && pwd)
source "$tests/world.sh"
source "$tests/package/firmware_files.sh"

deb=$dist/knobvane_${version}_amd64.deb
[ -e "$deb" ] || {
  echo "skipped: no $deb (scripts/package makes it)"
  exit 77
}
root=$dir/root
dpkg-deb -x "$deb" "$root" || fail "dpkg-deb cannot unpack $deb"

case $case_name in
  PassesLintian)
    # Every warning fails too: none is left to explain away.
    status=0
    tags=$(lintian --fail-on error,warning --info "$deb" 2>&1) || status=$?
    grep -v '^running with root privileges' <<<"$tags" || true
    [ "$status" -eq 0 ] || fail "lintian found errors or warnings (above)"
    ;;
  HoldsTheProgramsDocumentationAndUnit)
    expected=(
      usr/bin/knobvane usr/bin/linescout usr/bin/knobvane-setup
      usr/lib/systemd/user/knobvane.service
      usr/share/doc/knobvane/README.md usr/share/doc/knobvane/changelog.gz
      usr/share/doc/knobvane/copyright usr/share/doc/knobvane/examples/knobvane.conf
      usr/share/man/man1/knobvane.1.gz usr/share/man/man1/linescout.1.gz
      usr/share/man/man1/knobvane-setup.1.gz
    )
    # The firmware is part of the package wherever the tree has it.
    firmware=usr/share/knobvane/firmware
    if [ -d "$tests/../firmware" ]; then
      find_firmware "$firmware_build"
      expected+=("${firmware_names[@]/#/$firmware/}")
    fi
    actual=$(cd "$root" && find . -type f -printf '%P\n' | sort)
    [ "$actual" = "$(printf '%s\n' "${expected[@]}" | sort)" ] ||
      fail $'the package holds:\n'"$actual"$'\nexpected:\n'"$(printf '%s\n' "${expected[@]}")"
    [ ! -d "$tests/../firmware" ] || expect_firmware "$root/$firmware"
    # The licence, in Debian's machine-readable form, with the text of LICENSE.
    copyright=$root/usr/share/doc/knobvane/copyright
    grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' "$copyright" &&
      grep -qx 'License: MIT' "$copyright" || fail "the copyright names no MIT licence: $(cat "$copyright")"
    grep -qx 'Copyright: 2026 The Knobvane developers' "$copyright" || fail "the copyright names no holder"
    licence=$(sed '1,/^Copyright (c)/d' "$tests/../LICENSE" | sed '/./,$!d')
    [ "$(sed '1,/^License: MIT$/d; s/^ //; s/^\.$//' "$copyright")" = "$licence" ] ||
      fail "the copyright's licence text is not that of LICENSE: $(cat "$copyright")"
    # Dependencies come from dpkg-shlibdeps, so they name the libraries the programs link.
    depends=$(dpkg-deb -f "$deb" Depends)
    for library in libc6 libpulse0 libstdc++6; do
      grep -q "\b$library (>= " <<<"$depends" || fail "Depends lacks $library: $depends"
    done
    # The unit as systemd reads it, its programs taken from the unpacked tree: an unknown
    # key or a program that is not there is a complaint.
    sed "s#/usr/bin/#$root/usr/bin/#g" "$root/usr/lib/systemd/user/knobvane.service" >"$dir/knobvane.service"
    complaints=$(systemd-analyze verify --man=no "$dir/knobvane.service" 2>&1) ||
      fail "systemd-analyze rejects the unit: $complaints"
    [ -z "$complaints" ] || fail "systemd-analyze complains about the unit: $complaints"
    grep -q "^EnvironmentFile=%h/.config/knobvane/knobvane.conf$" "$dir/knobvane.service" ||
      fail "the unit does not read ~/.config/knobvane/knobvane.conf"
    ;;
  ManPagesRenderWithoutWarnings)
    for page in knobvane linescout knobvane-setup; do
      rendered=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$root/usr/share/man/man1/$page.1.gz" \
        2>"$dir/man.log") || fail "man failed on $page.1: $(cat "$dir/man.log")"
      [ ! -s "$dir/man.log" ] || fail "man warns about $page.1: $(cat "$dir/man.log")"
      grep -q "Knobvane $version" <<<"$rendered" || fail "$page.1 does not carry version $version"
      grep -q "^NAME" <<<"$rendered" || fail "$page.1 rendered without a NAME section"
    done
    ;;
  ProgramsRunAgainstAPrivateServer)
    # The programs as the package installs them, against a private sound server each.
    bin=$root/usr/bin
    "$tests/integration/linescout_test.sh" pulseaudio ListsThePrivateServer "$bin/linescout"
    "$tests/integration/knobvane_test.sh" pulseaudio SetsTheOutputVolumeKeepingItsBalance \
      "$bin/knobvane" "$bin/linescout" "$adc_box"
    "$tests/integration/setup_test.sh" TakesItsSettingsFromTheCommandLine "$bin/knobvane-setup" \
      "$bin/knobvane" "$adc_box"
    ;;
  *)
    fail "unknown case $case_name"
    ;;
esac
echo "PASS: $case_name"
