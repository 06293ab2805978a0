# Sourced by the shell integration tests: a private world in a temporary folder, with a
# sound server of its own on request. Everything started is stopped by PID on exit.
# Gives: dir, pids (append the PID of whatever you start), fail, eventually, start_pulse,
# start_server and stop_server (PulseAudio or PipeWire, as $server_kind says), output_name,
# output_volume, expect_volume, load_output, turn, describe_usb.
#
# Run as a program, it is the C++ tests' and benchmarks' server (tests/support/sound_server.h):
#   world.sh FOLDER pulseaudio|pipewire [MODULE...]
# starts that server in FOLDER with the modules loaded besides the null output, writes the
# environment that reaches it and its PIDs to FOLDER/server.env, and stops it, and everything
# else it started, once its standard input ends.
set -euo pipefail

server_modules=()  # PulseAudio modules start_server loads besides the null output
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  [ $# -ge 2 ] || { echo "usage: world.sh FOLDER pulseaudio|pipewire [MODULE...]" >&2; exit 2; }
  dir=$1 server_kind=$2
  shift 2
  server_modules=("$@")
  own_dir=false
else
  dir=$(mktemp -d /tmp/knobvane-test-XXXXXX)
  own_dir=true
fi
tests_folder=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
pids=()
on_exit=()  # extra commands to run first on exit
cleanup() {
  for command in "${on_exit[@]}"; do eval "$command" || true; done
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  if $own_dir; then rm -rf "$dir"; else rm -rf "$dir/run" "$dir/bus"; fi
}
trap cleanup EXIT
# A test ended from outside (a ctest timeout, Ctrl-C) stops what it started too: the exit trap
# runs only on an exit. The demo sets its own, which says so first.
[ -n "$(trap -p TERM)" ] || trap 'exit 143' TERM
[ -n "$(trap -p INT)" ] || trap 'exit 130' INT

export HOME=$dir TMPDIR=$dir XDG_RUNTIME_DIR=$dir
# The list of applications our programs keep goes here, never into the user's own state.
export XDG_STATE_HOME=$dir/state-home
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
    --load="module-null-sink sink_name=knobs" "${server_modules[@]/#/--load=}" \
    --load="module-native-protocol-unix auth-anonymous=1 socket=$dir/native" \
    >"$dir/pulse.log" 2>&1 &
  pids+=($!)
  eventually pactl info >/dev/null 2>&1 || fail "the private PulseAudio server did not come up"
}

# Sends readings (adc-box words) to the test's box, the coprocess "box" (adc-box --pty PATH -),
# and waits until whoever has the port read them all.
turn() {
  local answer
  echo "$*" >&"${box[1]}"
  read -r -t 20 -u "${box[0]}" answer || fail "nobody read \"$*\" from the box"
  [ "$answer" = taken ] || fail "the box refused \"$*\": $answer"
}

# Describes the tty behind PATH as a USB device in a sysfs of the world's own, $dir/sys (setup's
# KNOBVANE_SYSFS): describe_usb PATH MAKER PRODUCT [SERIAL].
describe_usb() {
  local usb=$dir/sys/devices/usb1/1-$RANDOM tty
  tty=$dir/sys/class/tty/$(basename "$(readlink -f "$1")")
  mkdir -p "$usb/interface" "$tty"
  echo 2341 >"$usb/idVendor"
  echo 0043 >"$usb/idProduct"
  echo "$2" >"$usb/manufacturer"
  echo "$3" >"$usb/product"
  [ -z "${4:-}" ] || echo "$4" >"$usb/serial"
  ln -sfn "$usb/interface" "$tty/device"
}

# Loads a null output into the running server (module-null-sink with these arguments), as a
# desktop's output behaves; prints the module's index.
load_output() { "$tests_folder/load_output.sh" "$@"; }

# "50% 100%": the null output's per-channel volume.
output_volume() { pactl get-sink-volume knobs | grep -o '[0-9]*%' | paste -sd' '; }

# Waits until a volume reads as expected: expect_volume EXPECTED COMMAND [ARGS...]
expect_volume() {
  local expected=$1
  shift
  is_expected() { [ "$("$@")" = "$expected" ]; }
  eventually is_expected "$@" || fail "$* is \"$("$@")\", expected \"$expected\""
}

# The server the test runs against: "pulseaudio" (the default) or "pipewire".
server_kind=${server_kind:-pulseaudio}
server_pids=()

# A PipeWire server with its pulse server and session manager, and a null output "knobs".
# WirePlumber links streams to outputs and needs a session bus, so the world gets its own.
start_pipewire() {
  mkdir -p -m 700 "$dir/run"
  export XDG_RUNTIME_DIR=$dir/run PULSE_RUNTIME_PATH=$dir/run/pulse
  export PULSE_SERVER=unix:$PULSE_RUNTIME_PATH/native
  export DBUS_SESSION_BUS_ADDRESS=unix:path=$dir/bus
  dbus-daemon --session --nofork --address="$DBUS_SESSION_BUS_ADDRESS" >"$dir/dbus.log" 2>&1 &
  server_pids+=($!)
  bus_up() { [ -S "$dir/bus" ]; }
  eventually bus_up || fail "the private session bus did not come up"
  # WirePlumber 0.4 sets a null output's volume again from what it kept of an earlier one of
  # the same name, a moment after the output appears: no desktop device behaves so. Its rules
  # take the state.restore-props that load_output.sh gives and 0.4 ignores on the node itself.
  mkdir -p "${XDG_CONFIG_HOME:-$HOME/.config}/wireplumber/main.lua.d"
  cat >"${XDG_CONFIG_HOME:-$HOME/.config}/wireplumber/main.lua.d/51-knobvane-null-outputs.lua" <<'LUA'
table.insert(stream_defaults.rules, {
  matches = { { { "factory.name", "equals", "support.null-audio-sink" } } },
  apply_properties = { ["state.restore-props"] = false },
})
LUA
  pipewire >"$dir/pipewire.log" 2>&1 &
  server_pids+=($!)
  pipewire_up() { [ -S "$XDG_RUNTIME_DIR/pipewire-0" ]; }
  eventually pipewire_up || fail "the private PipeWire server did not come up"
  wireplumber >"$dir/wireplumber.log" 2>&1 &
  server_pids+=($!)
  pipewire-pulse >"$dir/pipewire-pulse.log" 2>&1 &
  server_pids+=($!)
  pids+=("${server_pids[@]}")
  eventually pactl info >/dev/null 2>&1 || fail "the private pipewire-pulse did not come up"
  load_output sink_name=knobs >/dev/null
  local module
  for module in "${server_modules[@]}"; do
    # shellcheck disable=SC2086 # a module's arguments are words of their own
    case $module in
      "module-null-sink "*) load_output ${module#module-null-sink } ;;
      *) pactl load-module $module ;;
    esac >/dev/null || fail "pactl load-module $module failed"
  done
  has_knobs() { pactl list short sinks | grep -q knobs; }
  eventually has_knobs || fail "the null output never showed up"
}

# The server of $server_kind with a null output "knobs"; output_name is what it calls it.
start_server() {
  case $server_kind in
    pulseaudio)
      start_pulse
      server_pids=("${pids[-1]}")
      output_name="Null Output"
      ;;
    pipewire)
      start_pipewire
      output_name="knobs Audio/Sink sink"
      ;;
    *) fail "unknown server kind $server_kind" ;;
  esac
}

# Stops the server start_server started, newest process first.
stop_server() {
  local i
  for ((i = ${#server_pids[@]} - 1; i >= 0; --i)); do
    kill "${server_pids[i]}" 2>/dev/null || true
    wait "${server_pids[i]}" 2>/dev/null || true
  done
  server_pids=()
  # A socket left behind would pass for the next server's being up.
  rm -rf "$dir/run" "$dir/bus"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  start_server
  for name in HOME XDG_RUNTIME_DIR XDG_STATE_HOME PULSE_SERVER PULSE_RUNTIME_PATH \
    PULSE_STATE_PATH DBUS_SESSION_BUS_ADDRESS; do
    echo "$name=${!name:-}"
  done >"$dir/server.env.new"
  echo "pids=${server_pids[*]}" >>"$dir/server.env.new"
  mv "$dir/server.env.new" "$dir/server.env"
  read -r _ || true
fi
