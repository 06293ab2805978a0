#!/usr/bin/env bash
# Knobvane.exe under Wine, end to end: its COM ports are pseudo-terminals the test writes
# readings into, and its winmm.dll is the simulated mixer, which logs every call. One prefix
# serves every check (making one takes seconds); the programs run side by side, each on a
# port and a mixer log of its own.
# Usage: knobvane_test.sh BUILD-ROOT PATH/TO/queued-bytes
source "$(dirname "$0")/wine_world.sh" "$1"
queued_bytes=$2

start_wine
# Relay tracing of the message box only: the read loop never shows up in it.
timeout 60 "$wine" reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /d user32.MessageBoxA /f \
  >/dev/null 2>&1 || fail "could not limit relay tracing to MessageBoxA"

# Line numbers: 0 Card, 1 Speakers, 2 Wave.
write_legacy_mixer "$dir/mixer"
speakers=0xffff0000 wave=0x00000000

app=$dir/app
mkdir "$app"
cp "$exes/controller/Knobvane.exe" "$exes/sim/winmm.dll" "$app/"
export KNOBVANE_SIM_MIXER=$dir/mixer WINEDLLOVERRIDES="$WINEDLLOVERRIDES;winmm=n,b"

usage='USAGE: Knobvane.exe <COM-port> <Line0> [Line1] [Line2] [Line3] [Line4] [Line5]
where COM-port is "COMn" or "\\.\COMnn"
Line[0..5] is sound line, corresponding to ADC channel number
put here "x" to skip ADC channel 
EXAMPLES:
Knobvane.exe COM3 1 2 3
Knobvane.exe \\.\COM13 x x x 3 2 1'

# A box on port NAME: a socat pseudo-terminal pair, the test writing into $dir/box-NAME and
# Knobvane.exe reading $dir/port-NAME, which Wine knows as the device NAME. (No file the
# programs open may be named like a device: under Wine, as on Windows, "com3.log" is COM3.)
plug_in() {
  local name=$1
  socat pty,raw,echo=0,link="$dir/box-$name" pty,raw,echo=0,link="$dir/port-$name" \
    2>"$dir/socat-$name.log" &
  pids+=($!)
  eventually test -e "$dir/box-$name" -a -e "$dir/port-$name" || fail "socat made no $name"
  ln -s "$dir/port-$name" "$WINEPREFIX/dosdevices/$name"
}

send() {
  local name=$1
  shift
  printf '%s\n' "$@" >"$dir/box-$name"
}

queued() { [ "$("$queued_bytes" "$dir/port-$1")" = "$2" ]; }

# Starts Knobvane.exe ARGUMENTS... in the background, its mixer calls logged to
# $dir/run-RUN.mixer and its output to $dir/run-RUN.out; sets pid.
start_knobvane() {
  local run=$1
  shift
  : >"$dir/run-$run.mixer"
  KNOBVANE_SIM_LOG=$dir/run-$run.mixer "$wine" "$app/Knobvane.exe" "$@" >"$dir/run-$run.out" 2>&1 &
  pid=$!
  pids+=("$pid")
}

write() { echo "mixerSetControlDetails device=0 flags=0x80000000 line=$1 values=$2 result=0"; }

# Waits until run RUN has made as many volume writes as expected, then compares them all.
expect_writes() {
  local run=$1 expected actual
  shift
  expected=$(for w in "$@"; do echo "$w"; done)
  count() { [ "$(grep -c '^mixerSetControlDetails' "$dir/run-$run.mixer")" -ge $# ]; }
  eventually count "$@" || true
  # The log is written in text mode: CRLF line ends.
  actual=$(grep '^mixerSetControlDetails' "$dir/run-$run.mixer" | tr -d '\r' || true)
  [ "$actual" = "$expected" ] ||
    fail "$run: expected the writes"$'\n'"$expected"$'\n'"got"$'\n'"$actual"$'\n'"$(cat "$dir/run-$run.out")"
}

# The zero-terminated string at virtual address ADDRESS of the loaded image of EXE, which
# was loaded at LOAD-ADDRESS (all hex); empty when the address lies in no section.
string_in_image() {
  local exe=$1 address=$((16#$2)) load=$((16#$3)) base offset=""
  base=$((16#$($objdump -p "$exe" | awk '$1 == "ImageBase" { print $2 }')))
  address=$((address - load + base))
  while read -r index _ size vma _ file_offset _; do
    [[ $index =~ ^[0-9]+$ ]] || continue
    if ((16#$vma <= address && address < 16#$vma + 16#$size)); then
      offset=$((address - 16#$vma + 16#$file_offset))
    fi
  done < <($objdump -h "$exe")
  [ -n "$offset" ] || return 0
  local bytes
  bytes=$(dd if="$exe" bs=1 skip="$offset" count=1024 2>/dev/null | tr '\0' '\1')
  printf '%s' "${bytes%%$'\1'*}"
}
case $WINEARCH in
  win32) objdump=i686-w64-mingw32-objdump ;;
  *) objdump=x86_64-w64-mingw32-objdump ;;
esac

# Checks the relay trace in FILE for the usage box: no owner, the exact text, caption "Help",
# MB_OK. The trace shortens long strings, so the full text is read where the pointer passed
# points: into the program's image.
expect_usage_box() {
  local file=$1 call load pattern text
  eventually grep -q -a 'Call user32.MessageBoxA(' "$file" || fail "$file: no MessageBoxA call"
  call=$(grep -a -m1 'Call user32.MessageBoxA(' "$file")
  pattern='MessageBoxA\(([0-9a-f]+),([0-9a-f]+) "(.*)"(\.\.\.)?,([0-9a-f]+) "(.*)",([0-9a-f]+)\) ret='
  [[ $call =~ $pattern ]] || fail "unexpected trace: $call"
  [ $((16#${BASH_REMATCH[1]})) -eq 0 ] || fail "the usage box has an owner: $call"
  [ "${BASH_REMATCH[6]}" = Help ] || fail "the usage box's caption: $call"
  [ $((16#${BASH_REMATCH[7]})) -eq 0 ] || fail "the usage box's style is not MB_OK: $call"
  local shown=${BASH_REMATCH[3]} escaped=${usage//\\/\\\\}
  escaped=${escaped//\"/\\\"}
  escaped=${escaped//$'\n'/\\n}
  [ "${escaped:0:${#shown}}" = "$shown" ] || fail "the usage text begins differently: $call"
  load=$(grep -a -m1 -o 'Knobvane.exe" at [0-9A-Fa-f]*' "$file") || fail "$file: no load address"
  text=$(string_in_image "$app/Knobvane.exe" "${BASH_REMATCH[2]}" "${load##* }")
  [ "$text" = "$usage" ] || fail $'the usage text differs; got:\n'"$text"
}

plug_in com3
plug_in com13
plug_in com4

# Readings sent before the program starts wait in the port; it reads them after its pause.
send com3 $'1023\r' 1365 7000 -5 99999999999 2560 0
send com13 1023 4095 4608 4096
# Only a port: every reading is to be read and ignored. Queued first, so the queue running
# empty shows the program reading.
send com4 1023 2560 0 knob ''
eventually queued com4 "$(printf '%s\n' 1023 2560 0 knob '' | wc -c)" ||
  fail "the readings for COM4 never arrived at the port"

start_knobvane com3 COM3 1 x 2
com3_pid=$pid
start_knobvane com13 '\\.\COM13' x x x 2 1
WINEDEBUG=-all,+relay,+loaddll start_knobvane usage COM4
usage_pid=$pid

# No port at all: the usage box, then exit status 1.
status=0
WINEDEBUG=-all,+relay,+loaddll KNOBVANE_SIM_LOG=$dir/run-none.mixer timeout 60 "$wine" \
  "$app/Knobvane.exe" >"$dir/run-none.out" 2>&1 || status=$?
[ "$status" -eq 1 ] || fail "with no arguments Knobvane.exe exited with $status, not 1"
expect_usage_box "$dir/run-none.out"
echo "PASS: no arguments: the usage box, then exit status 1"

# Channel 0 -> Speakers, channel 2 -> Wave; unassigned and nonexistent channels write nothing.
expect_writes com3 "$(write $speakers 65535,32768)" "$(write $wave 50,26)" "$(write $speakers 0,0)"
# Read as they come too, and a silenced line comes back with its balance.
send com3 1023
expect_writes com3 "$(write $speakers 65535,32768)" "$(write $wave 50,26)" \
  "$(write $speakers 0,0)" "$(write $speakers 65535,32768)"
kill -0 "$com3_pid" 2>/dev/null || fail "Knobvane.exe COM3 1 x 2 ended"
echo "PASS: COM3 1 x 2: per-channel writes on the mapped lines only"

# Without a console, Knobvane.exe tells its states in a log of its own, which
# KnobvaneSetup.exe --show ends with.
log_lines() { find "$WINEPREFIX/drive_c/users" -path '*/Knobvane/knobvane.log' -exec cat {} + 2>/dev/null; }
log_told() { log_lines | grep -qF "$1"; }
eventually log_told 'Reading the box on COM3.' || fail $'the log holds:\n'"$(log_lines)"
cp "$exes/setup/KnobvaneSetup.exe" "$app/"
timeout 60 "$wine" "$app/KnobvaneSetup.exe" --show </dev/null >"$dir/show.out" 2>&1 ||
  fail "KnobvaneSetup.exe --show failed: $(cat "$dir/show.out")"
grep -qF 'Reading the box on COM3.' "$dir/show.out" || fail "--show said: $(cat "$dir/show.out")"
echo "PASS: the log holds Knobvane.exe's states, and KnobvaneSetup.exe --show ends with them"

# Channel 3 -> Wave, channel 4 -> Speakers; channel 0 is unassigned here.
expect_writes com13 "$(write $wave 100,52)" "$(write $speakers 32799,16400)" \
  "$(write $speakers 0,0)"
echo 'PASS: \\.\COM13 x x x 2 1: per-channel writes on the mapped lines only'

expect_usage_box "$dir/run-usage.out"
eventually queued com4 0 || fail "Knobvane.exe COM4 never read its port"
kill -0 "$usage_pid" 2>/dev/null || fail "Knobvane.exe COM4 ended"
# Lines are opened before the port is: a log still empty now means none was, so none of the
# readings taken can have been applied.
[ ! -s "$dir/run-usage.mixer" ] || fail "with no lines assigned the mixer was used: $(cat "$dir/run-usage.mixer")"
echo "PASS: only a port: the usage box, then the port is read and every reading ignored"
echo "PASS: Knobvane.exe under $WINEARCH Wine"
