#!/usr/bin/env bash
# Loads a null output into the sound server PULSE_SERVER names, the way the tests load every
# output into a running server: load_output.sh ARGUMENTS... runs
# "pactl load-module module-null-sink ARGUMENTS..." and prints the module's index, as pactl does.
#
# A desktop's outputs are devices; a null output is a node a client made, and PipeWire treats
# it so: on PipeWire 1.4 one that no stream has run through yet ignores every volume write and
# reads 100 % on every channel, and WirePlumber 0.5 sets a new one's volume again a moment after
# it appears, over whatever a test has set by then. So ours run from the start, as a device
# does (node.always-process), and WirePlumber 0.5 keeps its hands off their volumes
# (state.restore-props; 0.4 takes it only from a rule, which world.sh writes).
# PulseAudio and earlier PipeWire take both as any other property.
set -euo pipefail
desktop_like="node.always-process=true state.restore-props=false"
arguments=()
merged=false
for argument in "$@"; do
  case $argument in
    sink_properties=*)
      argument="sink_properties='${argument#sink_properties=} $desktop_like'"
      merged=true
      ;;
  esac
  arguments+=("$argument")
done
$merged || arguments+=("sink_properties='$desktop_like'")
exec pactl load-module module-null-sink "${arguments[@]}"
