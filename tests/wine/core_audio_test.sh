#!/usr/bin/env bash
# The lines after winmm's under Wine: Linescout.exe and Knobvane.exe over the stand-in Core
# Audio (mmdevapi.dll in the prefix's system32, over a model file this test writes and the
# stand-in writes back) and the stand-in winmm.dll. The sessions belong to real processes of
# ours named like the applications, so the programs can name them as on Windows. One prefix
# serves every check.
# Usage: core_audio_test.sh BUILD-ROOT
source "$(dirname "$0")/wine_world.sh" "$1"

start_wine
# Wine looks for a native mmdevapi only where COM registered the class: system32.
cp "$exes/sim/mmdevapi.dll" "$WINEPREFIX/drive_c/windows/system32/mmdevapi.dll"
app=$dir/app
mkdir "$app"
cp "$exes/controller/Knobvane.exe" "$exes/lister/Linescout.exe" "$exes/sim/winmm.dll" "$app/"
export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;winmm=n,b;mmdevapi=n"

# The legacy lines: 0 Card, 1 Speakers, 2 Wave.
write_legacy_mixer "$dir/mixer"
export KNOBVANE_SIM_MIXER=$dir/mixer
model=$dir/model
export KNOBVANE_SIM_COREAUDIO=$model KNOBVANE_SIM_COREAUDIO_LOG=$dir/coreaudio.log
speakers='{0.0.0.00000000}.{speakers}' headphones='{0.0.0.00000000}.{headphones}'
microphone='{0.0.1.00000000}.{microphone}'

# --- The model, as the stand-in and this test share it -----------------------------------------

# Replaces the model whole: the stand-in never reads half a file.
write_model() {
  cat >"$model.edit"
  mv "$model.edit" "$model"
}

# Appends a session of process PID (a line of the model's) while the programs run. A program's
# write lands by replacing the file too, so an edit may be overwritten: it is made again until
# it stays.
add_session() {
  local pid=$1 line=$2
  has() { grep -q " pid=$pid " "$model"; }
  added() {
    has || { cat "$model" - <<<"$line" | write_model; }
    has
  }
  eventually added || fail "the session of $pid never stayed in the model"
}

# A session's field (master or levels) as the stand-in wrote it back: session ENDPOINT PID FIELD.
session_field() {
  grep -F "session endpoint=$1 pid=$2 " "$model" | grep -o " $3=[^ ]*" | cut -d= -f2 || true
}
# What is heard of a session, channel by channel: its channel levels times its master, or its
# master alone where it has no channels. Whether a program sets the one or the other, this is
# what the user gets: heard ENDPOINT PID.
heard() {
  local master levels
  master=$(session_field "$1" "$2" master)
  levels=$(session_field "$1" "$2" levels)
  [ -n "$master" ] || return 0
  awk -v m="$master" -v l="${levels:-1}" 'BEGIN {
    n = split(l, x, ","); for (i = 1; i <= n; i++) printf "%s%g", (i > 1 ? "," : ""), x[i] * m
  }'
}
endpoint_levels() { grep -F "endpoint id=$1 " "$model" | grep -o ' levels=[^ ]*' | cut -d= -f2 || true; }

# Whether two lists of levels agree within what a knob's step and the file's figures round off.
near() {
  awk -v a="$1" -v b="$2" 'BEGIN {
    n = split(a, x, ","); if (n != split(b, y, ",") || a == "") exit 1
    for (i = 1; i <= n; i++) if (x[i] - y[i] > 0.01 || y[i] - x[i] > 0.01) exit 1
  }'
}

# Waits until COMMAND... prints levels near EXPECTED: expect_levels EXPECTED WHAT COMMAND...
expect_levels() {
  local expected=$1 what=$2
  shift 2
  is_near() { near "$("$@")" "$expected"; }
  eventually is_near "$@" || fail "$what: expected $expected, the model says \"$("$@")\""$'\n'"$(cat "$model")"
}

# --- The processes that own sessions -------------------------------------------------------------

# Starts a copy of session-owner as C:\Program Files\FOLDER\NAME; sets owner (its Windows pid).
start_owner() {
  local folder=$1 name=$2 image
  image="$WINEPREFIX/drive_c/Program Files/$folder/$name"
  mkdir -p "$(dirname "$image")"
  [ -e "$image" ] || cp "$exes/sim/session-owner.exe" "$image"
  rm -f "$dir/owner.pid"
  "$wine" "$image" "$dir/owner.pid" >>"$dir/owners.out" 2>&1 &
  owner_unix_pid=$!
  pids+=("$owner_unix_pid")
  eventually test -s "$dir/owner.pid" || fail "$name never told its process id"
  owner=$(tr -d '\r\n' <"$dir/owner.pid")
}

# --- The programs -----------------------------------------------------------------------------------

banner=$'Linescout - part of Knobvane.\nYour sound lines:'
legacy=$'   0 Card\n   1   Speakers\n   2     Wave'

listing() {
  timeout 60 "$wine" "$app/Linescout.exe" >"$dir/linescout.out" 2>"$dir/linescout.err" ||
    fail "Linescout.exe exited with $?: $(cat "$dir/linescout.err")"
  tr -d '\r' <"$dir/linescout.out"
}

expect_listing() {
  local expected=$1 actual
  actual=$(listing)
  [ "$actual" = "$expected" ] || fail $'expected the listing\n'"$expected"$'\ngot\n'"$actual"
}

# A box on COM3: the test writes readings into $dir/box, Knobvane.exe reads $dir/port.
socat pty,raw,echo=0,link="$dir/box" pty,raw,echo=0,link="$dir/port" 2>"$dir/socat.log" &
pids+=($!)
eventually test -e "$dir/box" -a -e "$dir/port" || fail "socat made no pseudo-terminal pair"
ln -s "$dir/port" "$WINEPREFIX/dosdevices/com3"

# Moves the default output to endpoint ID while Knobvane.exe runs, and waits until it has seen
# the move: the stand-in logs each new answer to which endpoint is the default.
move_default() {
  local id=$1 before
  before=$(wc -l <"$dir/coreaudio.log")
  moved() {
    grep -qxF "default render $id" "$model" ||
      sed "s/^default render .*/default render $id/" "$model" | write_model
    grep -qxF "default render $id" "$model"
  }
  eventually moved || fail "the default never stayed moved in the model"
  seen() { tail -n +$((before + 1)) "$dir/coreaudio.log" | tr -d '\r' | grep -qxF "default render $id"; }
  eventually seen || fail "Knobvane.exe never asked for the default output again"
}

# A reading: the knob (ADC channel) and its value 0..1023.
send() { printf '%s\n' "$(($1 * 1024 + $2))" >"$dir/box"; }

start_knobvane() {
  : >"$dir/knobvane.mixer"
  KNOBVANE_SIM_LOG=$dir/knobvane.mixer "$wine" "$app/Knobvane.exe" COM3 "$@" \
    >"$dir/knobvane.out" 2>&1 &
  knobvane=$!
  pids+=("$knobvane")
}

# Knobvane.exe's writes to the legacy Speakers line, as the stand-in winmm logged them (CRLF).
legacy_writes() { grep '^mixerSetControlDetails' "$dir/knobvane.mixer" | tr -d '\r' || true; }
legacy_write() { echo "mixerSetControlDetails device=0 flags=0x80000000 line=0xffff0000 values=$1 result=0"; }

stop_knobvane() {
  kill "$knobvane" 2>/dev/null || true
  wait "$knobvane" 2>/dev/null || true
}

# --- Core Audio missing: the legacy lines alone, as before ------------------------------------------

: >"$model"
KNOBVANE_SIM_COREAUDIO='' expect_listing "$banner"$'\n'"$legacy"
WINEDLLOVERRIDES="${WINEDLLOVERRIDES/mmdevapi=n/mmdevapi=}" expect_listing "$banner"$'\n'"$legacy"
# A knob on the legacy Speakers works as before; one on where Default Output would be, nothing.
KNOBVANE_SIM_COREAUDIO='' start_knobvane 1 4
send 0 1023
send 1 512
send 0 0
two_writes() { [ "$(legacy_writes | wc -l)" -ge 2 ]; }
eventually two_writes || true
[ "$(legacy_writes)" = "$(legacy_write 65535,32768)"$'\n'"$(legacy_write 0,0)" ] ||
  fail "without Core Audio the legacy line's writes changed: $(legacy_writes)"
kill -0 "$knobvane" 2>/dev/null || fail "Knobvane.exe ended without Core Audio: $(cat "$dir/knobvane.out")"
[ ! -s "$model" ] || fail "without Core Audio the model was written: $(cat "$model")"
stop_knobvane
echo "PASS: without Core Audio only the legacy lines are listed, and they work as before"

# --- The lines after the legacy ones -----------------------------------------------------------------

start_owner "Mozilla Firefox" firefox.exe
firefox=$owner firefox_unix_pid=$owner_unix_pid
start_owner Discord Discord.exe
discord=$owner
# Discord's three playing sessions: one on each output from its process, and one whose process
# cannot be named (several share it), which only its identifier names. Its microphone session
# is the microphone's volume, not the application's.
write_model <<EOF
endpoint id=$speakers flow=render levels=0.5,1 name=Speakers
endpoint id=$headphones flow=render levels=1,0.5 name=Headphones
endpoint id=$microphone flow=capture levels=0.8 name=Microphone
default render $speakers
default capture $microphone
session endpoint=$speakers pid=0 master=1 levels=1,1 system
session endpoint=$speakers pid=$firefox master=1 levels=1,0.5
session endpoint=$speakers pid=$discord master=1
session endpoint=$speakers pid=many master=1 levels=1,1 path=C:\\Program Files\\Discord\\Discord.exe
session endpoint=$headphones pid=$discord master=1
session endpoint=$microphone pid=$discord master=0.7
EOF

new_lines=$'\n   3 Default Output\n   4   Master Volume\n   5 Default Input\n   6   Master Volume'
new_lines+=$'\n   7 Applications\n   8   System Sounds\n   9   firefox.exe\n  10   Discord.exe'
expect_listing "$banner"$'\n'"$legacy$new_lines"
echo "PASS: Default Output, Default Input and the applications follow the legacy lines"

# --- Knobs on every kind of line -----------------------------------------------------------------------

# Knob 0 on the legacy Speakers, 1 on firefox.exe, 2 on Discord.exe, 3 on Default Output,
# 4 on Default Input.
start_knobvane 1 9 10 4 6 x
send 0 1023
send 1 512
send 2 256
send 3 512
send 4 0
expect_levels 0.5,0.25 "firefox.exe's session keeps its balance" heard "$speakers" "$firefox"
expect_levels 0.25 "Discord.exe's session on the default output" heard "$speakers" "$discord"
expect_levels 0.25 "Discord.exe's session on the other output" heard "$headphones" "$discord"
expect_levels 0.25,0.25 "Discord.exe's session of several processes" heard "$speakers" many
expect_levels 0.25,0.5 "the default output keeps its balance" endpoint_levels "$speakers"
expect_levels 0 "the default input" endpoint_levels "$microphone"
[ "$(session_field "$microphone" "$discord" master)" = 0.7 ] || fail "Discord.exe's microphone session was set"
[ "$(session_field "$speakers" 0 levels)" = 1,1 ] || fail "the system sounds were set"
[ "$(endpoint_levels "$headphones")" = 1,0.5 ] || fail "an output that is not the default was set"
# The legacy line is written exactly as before.
[ "$(legacy_writes)" = "$(legacy_write 65535,32768)" ] || fail "the legacy line's writes changed: $(legacy_writes)"
echo "PASS: a knob sets all three of an application's playing sessions, keeping the balance where they have channels"

# A session that appears later gets the line's last value.
start_owner Discord Discord.exe
late=$owner
add_session "$late" "session endpoint=$headphones pid=$late master=1 levels=1,0.6"
expect_levels 0.25,0.15 "Discord.exe's later session" heard "$headphones" "$late"
echo "PASS: a session that appears later gets its application's level"

# The default output moves to the headphones: the line follows it.
move_default "$headphones"
send 3 256
expect_levels 0.25,0.125 "the new default output" endpoint_levels "$headphones"
expect_levels 0.25,0.5 "the old default output" endpoint_levels "$speakers"
echo "PASS: the Default Output line follows the default"

# --- A restart: the applications keep their numbers ------------------------------------------------------

stop_knobvane
kill "$firefox_unix_pid"
wait "$firefox_unix_pid" 2>/dev/null || true
grep -v " pid=$firefox " "$model" | write_model
expect_listing "$banner"$'\n'"$legacy$new_lines"
applications=$(find "$WINEPREFIX/drive_c/users" -path '*/AppData/Local/Knobvane/applications')
[ -n "$applications" ] || fail "no applications list in %LOCALAPPDATA%\\Knobvane"
for name in firefox.exe Discord.exe; do
  grep -q "$name" "$applications" || fail "$name is not in $applications"
done

# This time the stand-in loses every notification, as real systems lose some: what Knobvane.exe
# sees it must find by looking again.
KNOBVANE_SIM_COREAUDIO_NOTIFY=0 start_knobvane x 9 10 4
send 1 1023
send 2 1023
expect_levels 1 "Discord.exe after a restart" heard "$speakers" "$discord"
start_owner "Mozilla Firefox" firefox.exe
add_session "$owner" "session endpoint=$speakers pid=$owner master=1 levels=0.3,0.6"
expect_levels 0.5,1 "firefox.exe back after a restart" heard "$speakers" "$owner"
echo "PASS: an application's line keeps its number and its knob across a restart"

move_default "$speakers"
send 3 1023
expect_levels 0.5,1 "the default output back on the speakers" endpoint_levels "$speakers"
expect_levels 0.25,0.125 "the headphones, no longer the default" endpoint_levels "$headphones"
echo "PASS: without notifications, later sessions and a moved default are found all the same"

if grep -q '^fault' "$dir/coreaudio.log"; then
  fail "a call Windows would crash on: $(grep '^fault' "$dir/coreaudio.log")"
fi
echo "PASS: the Core Audio lines under $WINEARCH Wine"
