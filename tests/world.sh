# Sourced by the shell integration tests: a private world in a temporary folder, with a
# PulseAudio server of its own on request. Everything started is stopped by PID on exit.
# Gives: dir, pids (append the PID of whatever you start), fail, eventually, start_pulse,
# output_volume, expect_volume.
set -euo pipefail

dir=$(mktemp -d /tmp/knobvane-test-XXXXXX)
pids=()
on_exit=()  # extra commands to run first on exit
cleanup() {
  for command in "${on_exit[@]}"; do eval "$command" || true; done
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$dir"
}
trap cleanup EXIT

export HOME=$dir TMPDIR=$dir XDG_RUNTIME_DIR=$dir
export PULSE_SERVER=unix:$dir/native PULSE_RUNTIME_PATH=$dir PULSE_STATE_PATH=$dir/state

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Polls a command until it succeeds, for at most $deadline seconds (default 20).
eventually() {
  local until=$((SECONDS + ${deadline:-20}))
  until "$@"; do
    [ "$SECONDS" -lt "$until" ] || return 1
    sleep 0.05
  done
}

# A PulseAudio server with one null output, "knobs" ("Null Output").
start_pulse() {
  pulseaudio --daemonize=no --exit-idle-time=-1 --use-pid-file=no --disallow-exit -n \
    --load="module-null-sink sink_name=knobs" \
    --load="module-native-protocol-unix auth-anonymous=1 socket=$dir/native" \
    >"$dir/pulse.log" 2>&1 &
  pids+=($!)
  eventually pactl info >/dev/null 2>&1 || fail "the private PulseAudio server did not come up"
}

# "50% 100%": the null output's per-channel volume.
output_volume() { pactl get-sink-volume knobs | grep -o '[0-9]*%' | paste -sd' '; }

# Waits until a volume reads as expected: expect_volume EXPECTED COMMAND [ARGS...]
expect_volume() {
  local expected=$1
  shift
  is_expected() { [ "$("$@")" = "$expected" ]; }
  eventually is_expected "$@" || fail "$* is \"$("$@")\", expected \"$expected\""
}
