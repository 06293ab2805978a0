# Sourced by the Wine end-to-end tests: a private world in a temporary folder, holding a
# PulseAudio server with a null output and a fresh Wine prefix, everything stopped by PID
# on exit. Sets: dir, exes (folder of the Windows build under test), wine (the loader).
#
# The product is 32-bit. A host whose kernel cannot run 32-bit code (IA-32 emulation off)
# cannot start 32-bit Wine either; there the same sources, built for 64-bit Windows, are run
# with 64-bit Wine instead, and the tests say so.
set -euo pipefail

builds=$1

dir=$(mktemp -d /tmp/knobvane-wine-XXXXXX)
pids=()
cleanup() {
  [ -n "${WINESERVER:-}" ] && WINEPREFIX=$dir/prefix "$WINESERVER" -k 2>/dev/null || true
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$dir"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Polls a command until it succeeds, for at most $deadline seconds (default 20).
eventually() {
  local until=$((SECONDS + ${deadline:-20}))
  until "$@"; do
    [ "$SECONDS" -lt "$until" ] || return 1
    sleep 0.1
  done
}

if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  export WINEARCH=win32 WINELOADER=/usr/lib/wine/wine WINESERVER=/usr/lib/wine/wineserver32
  exes=$builds/mingw32
else
  echo "note: this host cannot run 32-bit code; testing the 64-bit build with 64-bit Wine"
  export WINEARCH=win64 WINELOADER=/usr/lib/wine/wine64 WINESERVER=/usr/lib/wine/wineserver64
  exes=$builds/mingw64
fi
wine=$WINELOADER

export HOME=$dir TMPDIR=$dir XDG_RUNTIME_DIR=$dir WINEPREFIX=$dir/prefix WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export PULSE_SERVER=unix:$dir/native PULSE_RUNTIME_PATH=$dir PULSE_STATE_PATH=$dir/state
unset DISPLAY

start_pulse() {
  pulseaudio --daemonize=no --exit-idle-time=-1 --use-pid-file=no --disallow-exit -n \
    --load="module-null-sink sink_name=knobs" \
    --load="module-native-protocol-unix auth-anonymous=1 socket=$dir/native" \
    >"$dir/pulse.log" 2>&1 &
  pids+=($!)
  eventually pactl info >/dev/null 2>&1 || fail "the private PulseAudio server did not come up"
}

# A fresh prefix with its own wineserver in the foreground, so it is ours to stop.
start_wine() {
  "$WINESERVER" -f -p >"$dir/wineserver.log" 2>&1 &
  pids+=($!)
  timeout 120 "$wine" wineboot -i >"$dir/wineboot.log" 2>&1 || fail "wineboot failed"
  timeout 60 "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Audio /d pulse /f \
    >/dev/null 2>&1 || fail "could not select Wine's PulseAudio driver"
}
