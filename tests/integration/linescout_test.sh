#!/usr/bin/env bash
# linescout against a private sound server of its own (PulseAudio or PipeWire), started in a
# temporary folder and stopped by PID whatever happens.
# Usage: linescout_test.sh pulseaudio|pipewire CASE PATH/TO/linescout
set -euo pipefail

server_kind=$1
case_name=$2
linescout=$3

source "$(dirname "$0")/../world.sh"

banner=$'Linescout - part of Knobvane.\nYour sound lines:'
# The defaults come first, then the null output; its monitor is no input of its own.
devices=$'\n   0 Default Output\n   1   Master Volume\n   2 Default Input\n   3   Master Volume'
devices+=$'\n   4 '

expect_listing() {
  local expected=$1 actual
  actual=$(timeout 10 "$linescout") || fail "linescout exited with $?"
  [ "$actual" = "$expected" ] || fail $'expected:\n'"$expected"$'\ngot:\n'"$actual"
}

case $case_name in
  ListsThePrivateServer)
    start_server
    expect_listing "$banner$devices$output_name"$'\n   5   Master Volume\n   6 Applications'
    ;;
  ListsApplicationsAfterTheDevicesPlayingOrNot)
    start_server
    pacat --device=knobs --client-name="Knob Player" --stream-name=Tune </dev/zero &
    player=$!
    pids+=($player)
    listed() { [ "$("$linescout" | wc -l)" -eq 10 ]; }
    eventually listed || fail "the application never showed up"
    playing="$banner$devices$output_name"$'\n   5   Master Volume\n   6 Applications'
    playing+=$'\n   7   Knob Player'
    expect_listing "$playing"
    # Stopped, it keeps its line: the list is in the state folder.
    kill "$player"
    wait "$player" 2>/dev/null || true
    expect_listing "$playing"
    grep -q $'\tKnob Player$' "$XDG_STATE_HOME/knobvane/applications" ||
      fail "the application is not in the list file"
    grep -q $'^sink:knobs\t' "$XDG_STATE_HOME/knobvane/devices" ||
      fail "the output is not in the devices file"
    ;;
  PrintsOnlyTheBannerWithoutAServer)
    # No server at all: the socket named does not exist.
    export PULSE_SERVER=unix:$dir/nobody-listens-here
    expect_listing "$banner"
    ;;
  *)
    fail "unknown case $case_name"
    ;;
esac
echo "PASS: $case_name"
