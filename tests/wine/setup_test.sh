#!/usr/bin/env bash
# KnobvaneSetup.exe under Wine, its dialogue typed through a pipe: the box's COM port appears
# between two listings (a SERIALCOMM value and a dosdevices link, as a USB adapter's driver
# makes them), Linescout.exe beside it lists the simulated mixer's lines, and the settings land
# in the registry values xp-compat.cmd and autostart.cmd write. Knobvane.exe, started with them,
# turns the reading into a volume write; --remove takes everything away.
# Usage: setup_test.sh BUILD-ROOT
source "$(dirname "$0")/wine_world.sh" "$1"

start_wine
app=$dir/app
mkdir "$app"
cp "$exes/setup/KnobvaneSetup.exe" "$exes/controller/Knobvane.exe" "$exes/lister/Linescout.exe" \
  "$exes/sim/winmm.dll" "$app/"
windows_app=$("$wine" winepath -w "$app" 2>/dev/null)
# Line numbers: 0 Card, 1 Speakers, 2 Wave.
printf '%s\n' 'device Card' 'destination 2 Speakers' 'volume 65535 32 40000 20000' \
  'source 2 Wave' 'volume 100 100 50 25' >"$dir/mixer"
export KNOBVANE_SIM_MIXER=$dir/mixer KNOBVANE_SIM_LOG=$dir/mixer.log
export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;winmm=n,b"

serialcomm='HKLM\HARDWARE\DEVICEMAP\SERIALCOMM'
run='HKCU\Software\Microsoft\Windows\CurrentVersion\Run'
layers='HKCU\Software\Microsoft\Windows NT\CurrentVersion\AppCompatFlags\Layers'
value_of() { "$wine" reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | sed -n 's/.*REG_SZ    //p'; }

# Windows 8.1 (NT 6.3), which marks the mode with "~ " as xp-compat.cmd does.
"$wine" reg add 'HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion' /v CurrentVersion /d 6.3 /f \
  >/dev/null 2>&1 || fail "could not set the Windows version"
# Another device's port, there before: listed, never opened.
"$wine" reg add "$serialcomm" /v '\Device\Serial0' /d COM1 /f >/dev/null 2>&1 || fail "no SERIALCOMM"

# The dialogue: its input a pipe held open by the test, its output a file (CRLF line ends).
mkfifo "$dir/input"
exec 3<>"$dir/input"
"$wine" "$app/KnobvaneSetup.exe" <"$dir/input" >"$dir/setup.out" 2>&1 &
setup_pid=$!
pids+=("$setup_pid")
said() { tr -d '\r' <"$dir/setup.out"; }
expect_said() {
  says() { [ "$(said | grep -cF -- "$1")" -ge "${2:-1}" ]; }
  eventually says "$@" || fail "setup never said \"$1\":"$'\n'"$(said)"
}
type_in() { printf '%s\r\n' "$1" >&3; }

expect_said 'Plug the box in now'
expect_said '  1  COM1  \Device\Serial0'
# The box plugged in: its pseudo-terminal is COM7.
socat pty,raw,echo=0,link="$dir/box" pty,raw,echo=0,link="$dir/port" 2>"$dir/socat.log" &
pids+=($!)
eventually test -e "$dir/box" -a -e "$dir/port" || fail "socat made no port"
ln -s "$dir/port" "$WINEPREFIX/dosdevices/com7"
"$wine" reg add "$serialcomm" /v '\Device\USBSER000' /d COM7 /f >/dev/null 2>&1
expect_said 'The box: COM7  \Device\USBSER000'
expect_said 'COM7 is open.'
printf '512\n2047\n' >"$dir/box"
expect_said 'knob 0  50 %'
expect_said 'knob 1 100 %'
type_in ''
expect_said '   2     Wave'
expect_said 'Line for knob 0 (Enter or x for none)'
type_in 3
expect_said '3 is not a line of the list above: type a number from 0 to 2'
type_in 1
expect_said 'Line for knob 1 (Enter or x for none)'
type_in 2
expect_said 'To undo all of this: KnobvaneSetup.exe --remove'
wait "$setup_pid" || fail "setup ended with $?: $(said)"
echo "--- the dialogue ---"
said

[ "$(value_of "$run" Knobvane)" = "\"$windows_app\\Knobvane.exe\" COM7 1 2" ] ||
  fail "the Run value is '$(value_of "$run" Knobvane)'"
for exe in Knobvane.exe Linescout.exe; do
  [ "$(value_of "$layers" "$windows_app\\$exe")" = "~ WINXPSP3" ] || fail "$exe has no XP mode: $("$wine" reg query "$layers" 2>&1)"
done
echo "PASS: the port that appeared, the lines asked, the Run value and the modes written"

# Knobvane, started with them, reads the box: knob 0 turns the Speakers (line 1).
printf '1023\n' >"$dir/box"
wrote() { grep -q '^mixerSetControlDetails device=0 flags=0x80000000 line=0xffff0000 values=65535,32768' "$dir/mixer.log"; }
eventually wrote || fail "Knobvane.exe did not turn the Speakers: $(grep mixerSet "$dir/mixer.log")"
echo "PASS: Knobvane.exe started with COM7 1 2"

# Again without a dialogue: the Knobvane running is ended first; a line not in the list is
# refused and changes nothing.
# Into a file, not a pipe: under Wine the Knobvane.exe it starts holds its output's pipe open.
setup() {
  local status=0
  "$wine" "$app/KnobvaneSetup.exe" "$@" </dev/null >"$dir/run.out" 2>&1 || status=$?
  tr -d '\r' <"$dir/run.out"
  return $status
}
status=0
out=$(setup --port COM7 --lines "1 x 9") || status=$?
[ "$status" = 2 ] && grep -q "9 is not a line of the list" <<<"$out" || fail "--lines \"1 x 9\" ended with $status: $out"
[ "$(value_of "$run" Knobvane)" = "\"$windows_app\\Knobvane.exe\" COM7 1 2" ] || fail "the refusal changed the Run value"
status=0
out=$(setup --port COM12 --lines "2") || status=$?
[ "$status" = 1 ] && grep -q "COM12 is not there" <<<"$out" || fail "--port COM12, not there, ended with $status: $out"
[ "$(value_of "$run" Knobvane)" = "\"$windows_app\\Knobvane.exe\" COM7 1 2" ] || fail "a port not there changed the Run value"
status=0
out=$(setup --port COM12 --lines "2" --unplugged) || status=$?
[ "$status" = 0 ] || fail "--port COM12 --lines 2 --unplugged ended with $status: $out"
grep -q 'Ended Knobvane (process [0-9]*), which ran with the settings before.' <<<"$out" || fail "no Knobvane ended: $out"
grep -q 'Started Knobvane' <<<"$out" || fail "Knobvane was not started again: $out"
[ "$(value_of "$run" Knobvane)" = "\"$windows_app\\Knobvane.exe\" \\\\.\\COM12 2" ] ||
  fail "the Run value is '$(value_of "$run" Knobvane)'"
setup --show | grep -qF 'port   \\.\COM12' || fail "--show said: $(setup --show)"
setup '/?' | grep -qF -- '--port PORT --lines "1 x 3"' || fail "/? said: $(setup '/?')"
echo "PASS: without a dialogue: a refusal changes nothing; the Knobvane running is replaced; /? helps"

out=$(setup --remove)
grep -q 'Ended Knobvane' <<<"$out" || fail "--remove ended no Knobvane: $out"
[ -z "$(value_of "$run" Knobvane)" ] || fail "--remove left the Run value"
for exe in Knobvane.exe Linescout.exe; do
  [ -z "$(value_of "$layers" "$windows_app\\$exe")" ] || fail "--remove left $exe's mode"
done
setup --show | grep -q 'Nothing is set' || fail "--show after --remove said: $(setup --show)"
echo "PASS: --remove ends Knobvane and takes the values away"
