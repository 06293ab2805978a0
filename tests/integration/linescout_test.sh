#!/usr/bin/env bash
# linescout against a private PulseAudio server of its own, started in a temporary folder
# and stopped by PID whatever happens.
# Usage: linescout_test.sh CASE PATH/TO/linescout
set -euo pipefail

case_name=$1
linescout=$2

dir=$(mktemp -d /tmp/knobvane-linescout-XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$dir"
}
trap cleanup EXIT

export HOME=$dir XDG_RUNTIME_DIR=$dir PULSE_RUNTIME_PATH=$dir PULSE_STATE_PATH=$dir/state
export PULSE_SERVER=unix:$dir/native

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Polls cmd until it succeeds, for at most 10 seconds.
eventually() {
  local deadline=$((SECONDS + 10))
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.05
  done
}

start_server() {
  pulseaudio --daemonize=no --exit-idle-time=-1 --use-pid-file=no --disallow-exit -n \
    --load="module-null-sink sink_name=knobs" \
    --load="module-native-protocol-unix auth-anonymous=1 socket=$dir/native" \
    >"$dir/server.log" 2>&1 &
  pids+=($!)
  eventually pactl info >/dev/null 2>&1 || fail "the private server did not come up"
}

banner=$'Linescout - part of Knobvane.\nYour sound lines:'

expect_listing() {
  local expected=$1 actual
  actual=$(timeout 10 "$linescout") || fail "linescout exited with $?"
  [ "$actual" = "$expected" ] || fail $'expected:\n'"$expected"$'\ngot:\n'"$actual"
}

case $case_name in
  ListsThePrivateServer)
    start_server
    expect_listing "$banner"$'\n   0 Null Output\n   1   Master Volume'
    ;;
  ListsAPlayingStreamUnderItsOutput)
    start_server
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
