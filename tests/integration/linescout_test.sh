#!/usr/bin/env bash
# linescout against a private PulseAudio server of its own, started in a temporary folder
# and stopped by PID whatever happens.
# Usage: linescout_test.sh CASE PATH/TO/linescout
set -euo pipefail

case_name=$1
linescout=$2

source "$(dirname "$0")/../world.sh"

banner=$'Linescout - part of Knobvane.\nYour sound lines:'

expect_listing() {
  local expected=$1 actual
  actual=$(timeout 10 "$linescout") || fail "linescout exited with $?"
  [ "$actual" = "$expected" ] || fail $'expected:\n'"$expected"$'\ngot:\n'"$actual"
}

case $case_name in
  ListsThePrivateServer)
    start_pulse
    expect_listing "$banner"$'\n   0 Null Output\n   1   Master Volume'
    ;;
  ListsAPlayingStreamUnderItsOutput)
    start_pulse
    pacat --device=knobs --client-name="Knob Player" --stream-name=Tune </dev/zero &
    pids+=($!)
    listed() { [ "$("$linescout" | wc -l)" -eq 5 ]; }
    eventually listed || fail "the stream never showed up"
    expect_listing "$banner"$'\n   0 Null Output\n   1   Master Volume\n   2     Knob Player'
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
