#!/usr/bin/env bash
# The box end to end: the firmware image in the simulator (box-sim --realtime) on a
# pseudo-terminal of its own, the real knobvane reading it, a private PulseAudio server with
# a null output, volumes checked with pactl. Everything lives in a temporary folder and is
# stopped by PID whatever happens.
# Usage: box_test.sh PATH/TO/box-sim PATH/TO/knobbox.elf PATH/TO/knobvane
set -euo pipefail

box_sim=$1
firmware=$2
knobvane=$3

source "$(dirname "$0")/../world.sh"

start_pulse
pactl set-sink-volume knobs 30% 60%

coproc box { exec "$box_sim" "$firmware" --link "$dir/box" --realtime 2>"$dir/box-sim.log"; }
pids+=("$box_PID")
knob() { echo "knob $1 $2" >&"${box[1]}"; }
eventually test -L "$dir/box" || fail "box-sim did not come up: $(cat "$dir/box-sim.log")"

start_knobvane() {
  "$knobvane" "$dir/box" 1 2>"$dir/knobvane.log" &
  knobvane_pid=$!
  pids+=("$knobvane_pid")
}

# Knob 0 turns the default output's Master Volume (line 1), the null output, its balance kept.
knob 0 1023
start_knobvane
expect_volume "50% 100%" output_volume
knob 0 512
expect_volume "25% 50%" output_volume

# Knob 0's mute button: silence, then the level and, as Knobvane keeps it through silence,
# the balance back.
echo "button 0" >&"${box[1]}"
expect_volume "0% 0%" output_volume
# The press lasts 50 simulated ms: a second one while it is held would be no press at all.
echo "run 60" >&"${box[1]}"
read -r -t 20 -u "${box[0]}" answer && [ "$answer" = ok ] || fail "box-sim did not run on"
echo "button 0" >&"${box[1]}"
expect_volume "25% 50%" output_volume

# Knobvane starts again while the volume was changed elsewhere: opening the port restarts
# the board, whose report of every knob brings the knob's position back.
kill "$knobvane_pid"
wait "$knobvane_pid" 2>/dev/null || true
pactl set-sink-volume knobs 10% 20%
start_knobvane
expect_volume "25% 50%" output_volume
restarts() { [ "$(grep -c 'the chip restarts: the port was opened' "$dir/box-sim.log")" -eq 2 ]; }
eventually restarts || fail "the board did not restart on each open: $(cat "$dir/box-sim.log")"

echo "PASS: the box turns the volume, mutes it and brings its balance back, and restores it on reconnect"
