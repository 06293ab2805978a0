#!/usr/bin/env bash
# The Windows zip that scripts/package made: exactly the files a user unpacks, text files as
# Notepad and cmd want them, and xp-compat.cmd and autostart.cmd run by Wine's own cmd
# against Wine's registry. Exits 77 (skipped) when dist/ holds no zip of this version.
# Usage: zip_test.sh CASE DIST-FOLDER VERSION WINDOWS-BUILDS-FOLDER [FIRMWARE-BUILD]
set -euo pipefail
case_name=$1 dist=$2 version=$3 builds=$4 firmware_build=${5:-}
tests=$(cd "$(dirname "$0")/.." && pwd)
source "$tests/wine/wine_world.sh" "$builds"
source "$tests/package/firmware_files.sh"

zip=$dist/knobvane-$version-win32.zip
[ -e "$zip" ] || {
  echo "skipped: no $zip (scripts/package makes it)"
  exit 77
}
# Where a user would unpack it, parentheses and blanks included, as in "Program Files (x86)".
folder="$dir/Program Files (x86)/Knobvane"
mkdir -p "$folder"
unzip -q "$zip" -d "$folder" || fail "unzip cannot unpack $zip"

case $case_name in
  HoldsExactlyTheFiles)
    find_firmware "$firmware_build"
    expected=$(printf '%s\n' Knobvane.exe Linescout.exe KnobvaneSetup.exe README.txt LICENSE.txt xp-compat.cmd autostart.cmd \
      "${firmware_names[@]/#/firmware/}" | sort)
    names=$(unzip -Z1 "$zip" | grep -v '/$' | sort)
    [ "$names" = "$expected" ] || fail $'the zip holds:\n'"$names"$'\nexpected:\n'"$expected"
    expect_firmware "$folder/firmware"
    for text in README.txt LICENSE.txt xp-compat.cmd autostart.cmd; do
      ! grep -q $'[^\r]$\|^$' "$folder/$text" || fail "$text has a line without CRLF"
      ! LC_ALL=C grep -q '[^[:print:][:space:]]' "$folder/$text" || fail "$text is not plain ASCII"
    done
    # What a Windows user needs to know, and nothing of Linux.
    readme=$(tr -d '\r' <"$folder/README.txt")
    for topic in "Knobvane $version for Windows" 'USAGE: Knobvane.exe' '\\.\COM13' 'COM Port Number' \
      'autostart.cmd COM3 1 x 4' 'autostart.cmd /remove' 'Windows XP (Service Pack 3)' 'xp-compat.cmd /remove' \
      'knobbox-leonardo.hex' 'CH340' 'MIT' 'Troubleshooting' 'serial monitor' '115200' 'KnobvaneSetup.exe --remove'; do
      grep -qF "$topic" <<<"$readme" || fail "README.txt does not tell: $topic"
    done
    for linux in systemctl /dev/serial/by-id '```' '<!--'; do
      ! grep -qF "$linux" <<<"$readme" || fail "README.txt holds what is not for Windows: $linux"
    done
    "$tests/wine/version_resource_test.sh" i686-w64-mingw32-windres "$version" \
      "$folder/Knobvane.exe" "$folder/Linescout.exe" "$folder/KnobvaneSetup.exe"
    ;;
  XpCompatSetsAndRemovesTheModes)
    start_wine
    layers='HKCU\Software\Microsoft\Windows NT\CurrentVersion\AppCompatFlags\Layers'
    windows_folder=$("$wine" winepath -w "$folder" 2>/dev/null)
    # Another program's setting, which the script must leave alone.
    "$wine" reg add "$layers" /v 'C:\Other\Other.exe' /d '~ HIGHDPIAWARE' /f >/dev/null 2>&1
    xp_compat() { (cd "$folder" && "$wine" cmd /c xp-compat.cmd "$@" </dev/null >"$dir/xp-compat.log" 2>&1); }
    mode_of() {
      "$wine" reg query "$layers" /v "$windows_folder\\$1" 2>/dev/null | tr -d '\r' |
        sed -n 's/.*REG_SZ    //p'
    }
    # Windows 8 and later (NT 6.2 on) mark the mode with "~ "; Vista and 7 do not.
    for row in "6.1:WINXPSP3" "6.3:~ WINXPSP3"; do
      nt=${row%%:*} expected=${row#*:}
      "$wine" reg add 'HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion' /v CurrentVersion /d "$nt" /f \
        >/dev/null 2>&1 || fail "could not set the Windows version"
      xp_compat || fail "xp-compat.cmd failed: $(cat "$dir/xp-compat.log")"
      grep -q "now run in the compatibility mode" "$dir/xp-compat.log" ||
        fail "xp-compat.cmd did not say what it did: $(cat "$dir/xp-compat.log")"
      for exe in Knobvane.exe Linescout.exe; do
        [ "$(mode_of "$exe")" = "$expected" ] || fail "NT $nt: $exe has mode '$(mode_of "$exe")', not '$expected'"
      done
      xp_compat /remove || fail "xp-compat.cmd /remove failed: $(cat "$dir/xp-compat.log")"
      for exe in Knobvane.exe Linescout.exe; do
        [ -z "$(mode_of "$exe")" ] || fail "NT $nt: /remove left $exe's mode"
      done
    done
    "$wine" reg query "$layers" /v 'C:\Other\Other.exe' >/dev/null 2>&1 || fail "another program's mode is gone"
    # Away from the programs it sets nothing and says so.
    mkdir -p "$dir/alone"
    cp "$folder/xp-compat.cmd" "$dir/alone/"
    if (cd "$dir/alone" && "$wine" cmd /c xp-compat.cmd </dev/null >"$dir/xp-compat.log" 2>&1); then
      fail "xp-compat.cmd away from the programs succeeded: $(cat "$dir/xp-compat.log")"
    fi
    grep -q "is not in" "$dir/xp-compat.log" || fail "no word of the missing programs: $(cat "$dir/xp-compat.log")"
    [ "$("$wine" reg query "$layers" 2>/dev/null | grep -c 'REG_SZ')" = 1 ] || fail "something was set from $dir/alone"
    ;;
  AutostartSetsShowsAndRemovesTheRunValue)
    start_wine
    run='HKCU\Software\Microsoft\Windows\CurrentVersion\Run'
    windows_folder=$("$wine" winepath -w "$folder" 2>/dev/null)
    # Another program's value, which the script must leave alone.
    "$wine" reg add "$run" /v Other /d '"C:\Other\Other.exe" /quiet' /f >/dev/null 2>&1
    # Runs autostart.cmd from FOLDER (default: beside the programs) with the arguments given.
    autostart() { (cd "${from:-$folder}" && "$wine" cmd /c autostart.cmd "$@" </dev/null >"$dir/autostart.log" 2>&1); }
    said() { tr -d '\r' <"$dir/autostart.log"; }
    knobvane_value() { "$wine" reg query "$run" /v Knobvane 2>/dev/null | tr -d '\r' | sed -n 's/.*REG_SZ    //p'; }
    # What the registry holds after each step, for whoever reads the test's log.
    show_run() { echo "reg query after autostart.cmd $*:" && "$wine" reg query "$run" 2>&1 | tr -d '\r' | sed '/^$/d; s/^/  /'; }

    # Written, and overwritten, as given: a blank and parentheses in the folder, backslashes
    # in the port; COM10 and on as Windows opens them.
    for row in 'COM3 1 x 4' '\\.\COM13 x x x 3 2 1' 'com12 5|\\.\com12 5'; do
      arguments=${row%%|*}
      read -ra words <<<"$arguments"
      autostart "${words[@]}" || fail "autostart.cmd $arguments failed: $(said)"
      show_run "$arguments"
      expected="\"$windows_folder\\Knobvane.exe\" ${row#*|}"
      [ "$(knobvane_value)" = "$expected" ] || fail "$arguments: the Run value is '$(knobvane_value)', not '$expected'"
      said | grep -qxF "  $expected" || fail "autostart.cmd $arguments did not say what it wrote: $(said)"
    done
    autostart || fail "autostart.cmd alone failed: $(said)"
    show_run "(alone)"
    said | grep -qxF "  $expected" || fail "autostart.cmd alone did not show the value: $(said)"
    # What Knobvane could not use writes nothing, and says so.
    for arguments in 'COM3' '1 x 4'; do
      read -ra words <<<"$arguments"
      if autostart "${words[@]}"; then fail "autostart.cmd $arguments succeeded: $(said)"; fi
      said | grep -q "Nothing was written" || fail "autostart.cmd $arguments gave no reason: $(said)"
      [ "$(knobvane_value)" = "$expected" ] || fail "autostart.cmd $arguments changed the value to '$(knobvane_value)'"
    done
    autostart /remove || fail "autostart.cmd /remove failed: $(said)"
    show_run /remove
    [ -z "$(knobvane_value)" ] || fail "/remove left the value '$(knobvane_value)'"
    said | grep -q "no longer starts at login" || fail "autostart.cmd /remove did not say what it did: $(said)"
    "$wine" reg query "$run" /v Other >/dev/null 2>&1 || fail "another program's Run value is gone"
    autostart || fail "autostart.cmd alone failed: $(said)"
    said | grep -q "does not start at login" || fail "with nothing set autostart.cmd said: $(said)"
    # Away from Knobvane.exe it writes nothing and says so.
    mkdir -p "$dir/alone"
    cp "$folder/autostart.cmd" "$dir/alone/"
    if from=$dir/alone autostart COM3 1; then fail "autostart.cmd away from Knobvane.exe succeeded: $(said)"; fi
    said | grep -q "Knobvane.exe is not in" || fail "no word of the missing Knobvane.exe: $(said)"
    [ -z "$(knobvane_value)" ] || fail "something was written from $dir/alone: $(knobvane_value)"
    ;;
  *)
    fail "unknown case $case_name"
    ;;
esac
echo "PASS: $case_name"
