#!/usr/bin/env bash
# Loads a null output into the sound server PULSE_SERVER names, as the tests' outputs are all
# loaded: load_output.sh ARGUMENTS... runs "pactl load-module module-null-sink ARGUMENTS..."
# and prints the module's index, as pactl does.
#
# On PipeWire 1.4 a null output that no stream has run through yet ignores every volume write
# and reads 100 % on every channel. A desktop's outputs are devices and never behave so: keep
# ours running from the start (node.always-process), as a device is. PulseAudio and earlier
# PipeWire need nothing, and take the property as any other.
set -euo pipefail
arguments=()
merged=false
for argument in "$@"; do
  case $argument in
    sink_properties=*)
      argument="sink_properties='${argument#sink_properties=} node.always-process=true'"
      merged=true
      ;;
  esac
  arguments+=("$argument")
done
$merged || arguments+=(sink_properties=node.always-process=true)
exec pactl load-module module-null-sink "${arguments[@]}"
