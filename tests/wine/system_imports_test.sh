#!/usr/bin/env bash
# The Windows programs of one build folder run on a bare Windows: they import only DLLs
# every Windows has (no libgcc, libstdc++ or pthread DLLs to ship beside them), are built
# for the folder's machine, and Knobvane.exe is a GUI-subsystem program, so starting it
# opens no console, while KnobvaneSetup.exe is a console program, its dialogue's window. Exits 77 (skipped) when the folder holds no build.
# Usage: system_imports_test.sh BUILD-FOLDER OBJDUMP FILE-FORMAT (pei-i386 or pei-x86-64)
set -euo pipefail
build=$1 objdump=$2 format=$3

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

[ -e "$build/controller/Knobvane.exe" ] || {
  echo "skipped: $build holds no Windows build"
  exit 77
}

for exe in "$build/controller/Knobvane.exe" "$build/lister/Linescout.exe" \
  "$build/setup/KnobvaneSetup.exe"; do
  headers=$("$objdump" -p "$exe") || fail "$objdump cannot read $exe"
  grep -q "file format $format\$" <<<"$headers" || fail "$exe is not $format"
  imports=$(awk '/DLL Name:/ { print toupper($3) }' <<<"$headers" | sort)
  [ -n "$imports" ] || fail "$exe imports nothing"
  # The registry's functions are ADVAPI32's, the devices' SETUPAPI's and COM's (Core Audio is
  # reached through it) OLE32's, on every Windows too.
  foreign=$(grep -vxE 'ADVAPI32\.DLL|KERNEL32\.DLL|MSVCRT\.DLL|OLE32\.DLL|SETUPAPI\.DLL|USER32\.DLL|WINMM\.DLL' <<<"$imports" ||
    true)
  [ -z "$foreign" ] || fail "$exe imports" $foreign
  echo "$exe imports only" $imports
done

subsystem=$("$objdump" -p "$build/controller/Knobvane.exe" | awk '$1 == "Subsystem" { print $2 + 0 }')
[ "$subsystem" = 2 ] || fail "Knobvane.exe has subsystem $subsystem, not 2 (Windows GUI)"
subsystem=$("$objdump" -p "$build/setup/KnobvaneSetup.exe" | awk '$1 == "Subsystem" { print $2 + 0 }')
[ "$subsystem" = 3 ] || fail "KnobvaneSetup.exe has subsystem $subsystem, not 3 (Windows console)"
# The controller is a small program that runs all day: the product's 32-bit build stays under
# 64 KB, as a C++ library's containers in it would break (platform/remembered.h).
if [ "$format" = pei-i386 ]; then
  size=$(stat -c %s "$build/controller/Knobvane.exe")
  [ "$size" -lt 65536 ] || fail "Knobvane.exe is $size bytes, not under 64 KB"
fi
echo "PASS: $build: system DLLs only; Knobvane.exe is a GUI program, KnobvaneSetup.exe a console one"
