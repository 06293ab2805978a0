#!/usr/bin/env bash
# knobvane end to end: a private sound server (PulseAudio or PipeWire) with a null output, a
# simulated ADC box (adc-box) on a pseudo-terminal of its own, and the volumes checked with
# pactl. Everything lives in a temporary folder and is stopped by PID whatever happens.
# Usage: knobvane_test.sh pulseaudio|pipewire CASE PATH/TO/knobvane PATH/TO/linescout
#        PATH/TO/adc-box
set -euo pipefail

server_kind=$1
case_name=$2
knobvane=$3
linescout=$4
adc_box=$5

source "$(dirname "$0")/../world.sh"

# ---- The box -------------------------------------------------------------------------------

# Plugs a box in at $dir/box, fed one line of readings at a time by turn.
plug_box() {
  coproc box { exec "$adc_box" --pty "$dir/box" -; }
  box_pid=$box_PID
  pids+=("$box_pid")
  # Its first answer is the pseudo-terminal's path: the box is there.
  read -r -t 10 -u "${box[0]}" _ || fail "the box did not plug in"
}

unplug_box() {
  kill "$box_pid"
  wait "$box_pid" 2>/dev/null || true
}


start_knobvane() {
  "$knobvane" "$dir/box" "$@" 2>"$dir/knobvane.log" &
  knobvane_pid=$!
  pids+=("$knobvane_pid")
}

expect_knobvane_running() {
  kill -0 "$knobvane_pid" 2>/dev/null || fail "knobvane ended: $(cat "$dir/knobvane.log")"
}

# ---- Volumes as the server shows them --------------------------------------------------------

# "50% 100%": the playing stream with that index's per-channel volume (output_volume, the
# output's, is in world.sh).
stream_volume() {
  pactl list sink-inputs |
    awk -v stream="Sink Input #$1" '$0 == stream { found = 1; next }
                                    /^Sink Input #/ { found = 0 }
                                    found && /^[[:space:]]*Volume:/ { print; exit }' |
    grep -o '[0-9]*%' | paste -sd' '
}

# Plays silence into the output, as an application named Knob Player; sets $stream.
play_stream() {
  pacat --device=knobs --client-name="Knob Player" --stream-name=Tune </dev/zero &
  pids+=($!)
  stream_pid=$!
  has_stream() { [ -n "$(pactl list short sink-inputs)" ]; }
  eventually has_stream || fail "the stream never started"
  stream=$(pactl list short sink-inputs | awk '{ print $1; exit }')
}

# Ends the stream play_stream started.
stop_stream() {
  kill "$stream_pid"
  wait "$stream_pid" 2>/dev/null || true
  no_stream() { [ -z "$(pactl list short sink-inputs)" ]; }
  eventually no_stream || fail "the stream never ended"
}

# Knob Player is the first application: line 7, after the defaults (0 to 3), the output (4, 5)
# and Applications (6).
expect_application_on_line_7() {
  local listing
  listing=$("$linescout")
  [ "$(echo "$listing" | sed -n 10p)" = "   7   Knob Player" ] ||
    fail $'the application is not line 7:\n'"$listing"
}

# ---- Cases -----------------------------------------------------------------------------------

case $case_name in
  SetsTheOutputVolumeKeepingItsBalance)
    start_server
    pactl set-sink-volume knobs 30% 60%
    plug_box
    start_knobvane 1
    turn 0:1023
    expect_volume "50% 100%" output_volume
    turn 0:512
    expect_volume "25% 50%" output_volume
    ;;

  RestoresTheBalanceAfterSilence)
    start_server
    pactl set-sink-volume knobs 30% 60%
    plug_box
    start_knobvane 1
    turn 0:0
    expect_volume "0% 0%" output_volume
    turn 0:1023
    expect_volume "50% 100%" output_volume
    ;;

  ControlsAnApplicationsLine)
    start_server
    play_stream
    expect_application_on_line_7
    pactl set-sink-input-volume "$stream" 40% 80%
    plug_box
    # Knob 0 is skipped ("x"): its readings must not reach the output, as they would if "x"
    # were taken for line 0, whose number passes on to the default output's Master Volume.
    start_knobvane x 7
    turn 0:0 1:1023
    expect_volume "50% 100%" stream_volume "$stream"
    [ "$(output_volume)" = "100% 100%" ] || fail "the output moved: $(output_volume)"
    ;;

  FollowsTheDefaultOutput)
    # Knob 0 on the default output: a second output that becomes the default takes the
    # readings, with its own balance, and the first keeps what it had.
    start_server
    load_output sink_name=phones >/dev/null
    pactl set-sink-volume knobs 30% 60%
    pactl set-sink-volume phones 80% 40%
    pactl set-default-sink knobs
    plug_box
    start_knobvane 1
    turn 0:1023
    expect_volume "50% 100%" output_volume
    pactl set-default-sink phones
    phones_volume() { pactl get-sink-volume phones | grep -o '[0-9]*%' | paste -sd' '; }
    # knobvane learns of the change from the server a moment later: a reading before that
    # still goes to the old default.
    taken_by_phones() {
      turn 0:512
      [ "$(phones_volume)" = "50% 25%" ]
    }
    eventually taken_by_phones || fail "the new default is \"$(phones_volume)\""
    before=$(output_volume)
    turn 0:1023
    expect_volume "100% 50%" phones_volume
    [ "$(output_volume)" = "$before" ] || fail "the old default moved: $(output_volume)"
    ;;

  SetsTheNextDefaultWithAReadingTakenWithoutOne)
    # With no output at all, a reading on the default output waits for the next default.
    # (PipeWire's pulse server makes an output of its own while there is none: it goes too.)
    start_server
    for module in $(pactl list short modules | awk '/module-(always|null)-sink/ { print $1 }'); do
      pactl unload-module "$module"
    done
    no_output() { [ -z "$(pactl list short sinks)" ]; }
    eventually no_output || fail "the null output stayed"
    plug_box
    start_knobvane 1
    turn 0:512
    load_output sink_name=knobs >/dev/null
    expect_volume "50% 50%" output_volume
    ;;

  WaitsForTheServerBeforeTakingThePort)
    # No server at all: the socket named does not exist, so no line can be opened. knobvane
    # waits for one before it takes the box (which reports its knobs when its port opens),
    # and says so.
    export PULSE_SERVER=unix:$dir/nobody-listens-here
    plug_box
    start_knobvane 1 2
    waiting() { grep -qF "Waiting for the sound server" "$dir/knobvane.log"; }
    eventually waiting || fail "knobvane said: $(cat "$dir/knobvane.log")"
    expect_knobvane_running
    [ "$(cat "$dir/knobvane.log")" = "Waiting for the sound server before looking up the lines." ] ||
      fail "knobvane said: $(cat "$dir/knobvane.log")"
    ;;

  AppliesReadingsAgainAfterTheServerRestarts)
    start_server
    plug_box
    start_knobvane 1
    turn 0:512
    expect_volume "50% 50%" output_volume
    stop_server
    # A reading with the server gone fails and is forgotten.
    turn 0:100
    expect_knobvane_running
    start_server
    pactl set-sink-volume knobs 30% 60%
    # PipeWire's pulse server has an output of its own while it has none, and the default
    # goes over to the null output a moment after it is made: readings go on until it has.
    taken_after_restart() {
      turn 0:1023
      [ "$(output_volume)" = "50% 100%" ]
    }
    eventually taken_after_restart || fail "the output is \"$(output_volume)\" after the restart"
    ;;

  KeepsAnApplicationsKnobWhenItRestarts)
    start_server
    play_stream
    expect_application_on_line_7
    plug_box
    start_knobvane 7 1
    turn 0:512
    expect_volume "50% 50%" stream_volume "$stream"
    stop_stream
    # Playing again, the application has a new stream but the same line, and knobvane's knob
    # still turns it: the stream starts at the knob's volume.
    play_stream
    expect_application_on_line_7
    expect_volume "50% 50%" stream_volume "$stream"
    turn 0:1023 1:512
    expect_volume "100% 100%" stream_volume "$stream"
    expect_volume "50% 50%" output_volume
    ;;

  ControlsAnApplicationThatStartsPlayingLater)
    # Listed once while it played, the application keeps its line while it is silent.
    start_server
    play_stream
    expect_application_on_line_7
    stop_stream
    expect_application_on_line_7
    plug_box
    start_knobvane 7
    turn 0:512
    play_stream
    expect_volume "50% 50%" stream_volume "$stream"
    expect_knobvane_running
    ;;

  LandsTheLastReadingWhenStopped)
    # Readings taken while the server cannot answer still reach it when knobvane is stopped
    # before the server comes back: the first on its way, the last waiting behind it.
    start_server
    plug_box
    # Line 1: the output's Master Volume (also once the default output is listed first).
    start_knobvane 1
    turn 0:50%
    expect_volume "50% 50%" output_volume
    on_exit+=('kill -CONT "${server_pids[@]}"')  # a stopped server would never end
    kill -STOP "${server_pids[@]}"
    turn 0:25%
    turn 0:75%
    kill -TERM "$knobvane_pid"
    kill -CONT "${server_pids[@]}"
    # Ended: gone, or a zombie waiting for us.
    knobvane_ended() {
      [[ "$(awk '{ print $3 }' "/proc/$knobvane_pid/stat" 2>/dev/null)" =~ ^Z?$ ]]
    }
    eventually knobvane_ended || fail "knobvane did not end on SIGTERM"
    status=0
    wait "$knobvane_pid" || status=$?
    [ "$status" = 143 ] || fail "knobvane ended with $status, not as SIGTERM ends it"
    expect_volume "75% 75%" output_volume
    ;;

  TellsEachStateOnceWaitingForTheServerFirst)
    # Started before the server, knobvane waits for it; the server's going and coming is told
    # once each, on standard error (the user unit's journal).
    [ "$server_kind" = pulseaudio ] || export PULSE_SERVER=unix:$dir/run/pulse/native
    plug_box
    start_knobvane 1
    said() { cat "$dir/knobvane.log"; }
    told() { grep -qF "$1" "$dir/knobvane.log"; }
    eventually told "Waiting for the sound server" || fail "knobvane said: $(said)"
    start_server
    pactl set-sink-volume knobs 30% 60%
    turn 0:1023
    expect_volume "50% 100%" output_volume
    stop_server
    gone_told() { turn 0:0 && told "went away"; }
    eventually gone_told || fail "knobvane said: $(said)"
    start_server
    back_told() { turn 0:512 && told "is back"; }
    eventually back_told || fail "knobvane said: $(said)"
    [ "$(said | cut -d: -f1)" = "Waiting for the sound server before looking up the lines.
The sound server answers
Reading the box on $dir/box.
The sound server went away
The sound server is back." ] || fail "knobvane said: $(said)"
    ;;

  *)
    fail "unknown case $case_name"
    ;;
esac
echo "PASS: $case_name"
