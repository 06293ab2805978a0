#!/usr/bin/env bash
# knobvane-setup end to end, its dialogue typed into a real terminal (a private tmux server):
# the box is adc-box on a pseudo-terminal that appears in a /dev/serial of the test's own, with
# a sysfs of the test's own saying what USB device it is; the lines come from a private sound
# server; the settings go to a private XDG_CONFIG_HOME; no user systemd answers, so setup says
# the commands instead of running them. Everything is stopped by PID whatever happens.
# Usage: setup_test.sh CASE PATH/TO/knobvane-setup PATH/TO/knobvane PATH/TO/adc-box
set -euo pipefail

case_name=$1
setup=$2
knobvane=$3
adc_box=$4

source "$(dirname "$0")/../world.sh"

export KNOBVANE_SERIAL_DIR=$dir/serial KNOBVANE_SYSFS=$dir/sys XDG_CONFIG_HOME=$dir/config
settings=$XDG_CONFIG_HOME/knobvane/knobvane.conf
mkdir -p "$dir/serial/by-id" "$dir/serial/by-path" "$dir/ptys"
box_id=usb-Maker_Knob_Box_K1234-if00
box_socket=pci-0000:00:14.0-usb-0:2:1.0

# ---- The USB devices, as udev and sysfs show them --------------------------------------------

# Plugs the box in: adc-box on a new pseudo-terminal, fed readings by turn, appearing under
# by-id (as BOX_ID) once sysfs knows it, with its serial number SERIAL ("" for none).
plug_box() {
  local serial=${1-K1234}
  coproc box { exec "$adc_box" --pty "$dir/ptys/box" -; }
  box_pid=$box_PID
  pids+=("$box_pid")
  read -r -t 10 -u "${box[0]}" _ || fail "the box did not plug in"
  describe_usb "$dir/ptys/box" Maker "Knob Box" "$serial"
  ln -sfn "$dir/ptys/box" "$dir/serial/by-path/$box_socket"
  ln -sfn "$dir/ptys/box" "$dir/serial/by-id/$box_id"
}

unplug_box() {
  rm -f "$dir/serial/by-id/$box_id" "$dir/serial/by-path/$box_socket"
  kill "$box_pid"
  wait "$box_pid" 2>/dev/null || true
}


# ---- The terminal ----------------------------------------------------------------------------

echo 'set -g remain-on-exit on' >"$dir/tmux.conf"
terminal() { tmux -S "$dir/tmux" -f "$dir/tmux.conf" "$@"; }
on_exit+=('terminal kill-server 2>/dev/null')

# Starts the dialogue in the terminal, with a prefix command (e.g. unshare) when one is given.
start_setup() {
  rm -f "$dir/status"
  # tmux may learn that a pane ended before it learns its status: the status goes to a file.
  # bash, unlike dash, lives on after a Ctrl-C that the program it waits for took as its own.
  terminal new-session -d -x 150 -y 80 bash -c '"$@"; echo "$?" >"$0"' "$dir/status" "$@" "$setup"
  pids+=("$(terminal display-message -p '#{pid}')")
}
screen() { terminal capture-pane -p -J -S - -E - | sed 's/ *$//'; }
# Waits until the screen holds TEXT at least COUNT times (default once).
expect_screen() {
  shows() { [ "$(screen | grep -cF -- "$1")" -ge "${2:-1}" ]; }
  eventually shows "$@" || fail "the screen never showed \"$1\":"$'\n'"$(screen)"
}
# Waits for PROMPT (its COUNT-th time), then types TEXT and Enter.
answer() {
  expect_screen "$1" "${3:-1}"
  terminal send-keys -l -- "$2"
  terminal send-keys Enter
}
exit_status() { cat "$dir/status" 2>/dev/null; }
expect_exit() {
  ended() { [ "$(exit_status)" = "$1" ]; }
  eventually ended "$1" || fail "setup did not end with $1 ($(exit_status)):"$'\n'"$(screen)"
}

# ---- The dialogue's common way -----------------------------------------------------------------

# Another device, plugged in before: listed with what it is, never opened.
printer=$dir/ptys/printer
: >"$printer"
describe_usb "$printer" "QinHeng Electronics" "USB Serial"
ln -s "$printer" "$dir/serial/by-id/usb-1a86_USB_Serial-if00-port0"

# From the start to the knobs shown: the box plugged in while setup waits for it.
reach_the_knobs() {
  start_setup "$@"
  expect_screen "Plug the box in now"
  expect_screen "usb-1a86_USB_Serial-if00-port0  QinHeng Electronics USB Serial"
  plug_box "${serial-K1234}"
  expect_screen "The box: $dir/serial/by-id/$box_id  Maker Knob Box"
  expect_screen "is open."
  turn 0:50% 2:100%
  expect_screen "knob 0  50 %"
  expect_screen "knob 2 100 %"
}

expect_settings() {
  [ "$(grep -v '^#' "$settings")" = "KNOBVANE_PORT=$1"$'\n'"KNOBVANE_LINES=\"$2\"" ] ||
    fail "the settings are:"$'\n'"$(cat "$settings" 2>&1)"
}

start_server

case $case_name in
  SetsUpTheBoxThatIsPluggedIn)
    reach_the_knobs
    terminal send-keys Enter
    expect_screen "   6 Applications"
    answer "Line for knob 0 (Enter for 1, x for none)" ""
    answer "Line for knob 1 (Enter or x for none)" ""
    answer "Line for knob 2 (Enter or x for none)" 5
    expect_exit 0
    expect_settings "$dir/serial/by-id/$box_id" "1 x 5"
    expect_screen "systemctl --user enable --now knobvane"
    expect_screen "To undo all of this: knobvane-setup --remove"
    # knobvane as the unit starts it, from the settings: knob 0 turns the output.
    pactl set-sink-volume knobs 30% 60%
    (
      source "$settings"
      # shellcheck disable=SC2086 # the unit splits the lines at spaces too
      exec "$knobvane" "$KNOBVANE_PORT" $KNOBVANE_LINES 2>"$dir/knobvane.log"
    ) &
    pids+=($!)
    turn 0:1023
    expect_volume "50% 100%" output_volume
    ;;

  WaitsForThePortThatWentAway)
    reach_the_knobs
    unplug_box
    expect_screen "went away: was the box unplugged? Plug it in again to go on."
    plug_box
    expect_screen "The box is back."
    turn 1:0
    expect_screen "knob 1   0 %"
    terminal send-keys Enter
    answer "Line for knob 0 (Enter for 1, x for none)" 5
    answer "Line for knob 1 (Enter or x for none)" ""
    answer "Line for knob 2 (Enter or x for none)" x
    expect_exit 0
    expect_settings "$dir/serial/by-id/$box_id" 5
    ;;

  TellsOfABoxThatSendsNoReadings)
    start_setup
    expect_screen "Plug the box in now"
    # A board without a serial number of its own: its lasting name is the USB socket's.
    plug_box ""
    expect_screen "Its lasting name: $dir/serial/by-path/$box_socket"
    expect_screen "the USB socket it is plugged into"
    expect_screen "is open."
    turn junk 'AT+GMR' 99999
    expect_screen "sends lines that are not the box's readings, like \"99999\""
    expect_screen "Nothing that reads as a knob came from"
    terminal send-keys Enter
    expect_screen "No knob was seen on $dir/serial/by-path/$box_socket: choose the box's port again."
    expect_screen "Plug the box in now" 2
    # Stopped while the knobs show, after some were seen, it says so and nothing else.
    answer "Plug the box in now" "$dir/serial/by-path/$box_socket" 2
    expect_screen "is open." 2
    turn 0:1023
    expect_screen "knob 0 100 %"
    terminal send-keys C-c
    expect_screen "Stopped: nothing was set."
    expect_exit 1
    [ "$(screen | grep -c "No knob was seen")" = 1 ] || fail "a stop was told as no knob seen: $(screen)"
    [ ! -e "$settings" ] || fail "settings were written: $(cat "$settings")"
    ;;

  AsksAgainAfterAWrongPort)
    # The box plugged in before: listed second, after the printer (which is a plain file).
    plug_box
    start_setup
    asked=0
    expect_screen "  2  $dir/serial/by-id/$box_id  Maker Knob Box"
    for row in "/dev/ttyACM97|/dev/ttyACM97 is not there" "$dir|$dir is a folder, not a serial port" \
      "1|usb-1a86_USB_Serial-if00-port0 is a file, not a serial port" "3|3 is not a number of the list: type one from 1 to 2"; do
      answer "Plug the box in now" "${row%%|*}" "$((++asked))"
      expect_screen "${row#*|}"
    done
    answer "Plug the box in now" 2 4
    expect_screen "$dir/serial/by-id/$box_id is open."
    turn 0:50%
    terminal send-keys Enter
    answer "Line for knob 0 (Enter for 1, x for none)" ""
    expect_exit 0
    expect_settings "$dir/serial/by-id/$box_id" 1
    ;;

  RefusesALineNotInTheList)
    reach_the_knobs
    terminal send-keys Enter
    answer "Line for knob 0 (Enter for 1, x for none)" 7
    expect_screen "7 is not a line of the list above: type a number from 0 to 6"
    answer "Line for knob 0 (Enter for 1, x for none)" "one" 2
    expect_screen "one is not a line of the list above"
    answer "Line for knob 0 (Enter for 1, x for none)" 6 3
    answer "Line for knob 1 (Enter or x for none)" ""
    answer "Line for knob 2 (Enter or x for none)" 1
    expect_exit 0
    expect_settings "$dir/serial/by-id/$box_id" "6 x 1"
    ;;

  KeepsTheOldSettingsWhenTheNewCannotBeWritten)
    mkdir -p "$(dirname "$settings")"
    printf 'KNOBVANE_PORT=/dev/ttyACM0\nKNOBVANE_LINES="3"\n' >"$settings"
    cp "$settings" "$dir/old.conf"
    # A full disk, for setup alone: no file of it may grow, and its writes fail (no signal).
    reach_the_knobs sh -c "trap '' XFSZ; ulimit -f 0; exec \"\$0\""
    terminal send-keys Enter
    answer "Line for knob 0 (Enter for 1, x for none)" ""
    answer "Line for knob 1 (Enter or x for none)" ""
    answer "Line for knob 2 (Enter or x for none)" ""
    expect_screen "The settings were left as they were."
    expect_exit 1
    cmp -s "$settings" "$dir/old.conf" || fail "the old settings changed: $(cat "$settings")"
    [ "$(ls "$(dirname "$settings")")" = knobvane.conf ] ||
      fail "left beside the settings: $(ls "$(dirname "$settings")")"
    ;;

  NamesTheProgramOnThePortAndStopsTheUnitThere)
    # A user unit of the test's own: this systemctl starts knobvane from the settings, apart
    # from the terminal, and stops it as systemd does, returning once it has ended.
    mkdir -p "$dir/bin" "$(dirname "$settings")"
    cat >"$dir/bin/systemctl" <<EOF
#!/bin/sh
echo "\$*" >>"$dir/systemctl.log"
case \$3 in
  is-active) [ -e "$dir/unit.pid" ] ;;
  stop) pid=\$(cat "$dir/unit.pid") && rm "$dir/unit.pid" && kill \$pid &&
        for poll in \$(seq 200); do kill -0 \$pid 2>/dev/null || break; sleep 0.05; done ;;
  restart) . "$settings" && { setsid "$knobvane" "\$KNOBVANE_PORT" \$KNOBVANE_LINES </dev/null \
             >>"$dir/knobvane.log" 2>&1 & echo \$! >"$dir/unit.pid"; } ;;
esac
EOF
    chmod +x "$dir/bin/systemctl"
    export PATH=$dir/bin:$PATH
    on_exit+=('[ ! -e "$dir/unit.pid" ] || kill "$(cat "$dir/unit.pid")"')
    plug_box
    printf 'KNOBVANE_PORT=%s\nKNOBVANE_LINES="5"\n' "$dir/serial/by-id/$box_id" >"$settings"
    systemctl --user --quiet restart knobvane
    turn 0:10%
    # Without a user systemd, setup only names the program that has the port.
    shown=$("$setup" --show)
    grep -q "^The port is open in .*knobvane (process $(cat "$dir/unit.pid"))" <<<"$shown" &&
      ! grep -q "does not run" <<<"$shown" || fail "--show said: $shown"
    start_setup
    answer "Plug the box in now" "$dir/serial/by-id/$box_id"
    expect_screen "$dir/serial/by-id/$box_id is in use by "
    expect_screen "knobvane (process $(cat "$dir/unit.pid"))"
    expect_screen "Choose the box's port again."
    terminal send-keys C-c
    expect_exit 1
    # With one, the unit is stopped for the dialogue and started at its end, with the new settings.
    mkdir -p "$dir/systemd"
    python3 -c 'import socket, sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])' "$dir/systemd/private"
    start_setup
    answer "Plug the box in now" "$dir/serial/by-id/$box_id"
    expect_screen "Stopped knobvane (your user unit), which had the port; it starts again at the end."
    turn 0:50%
    expect_screen "knob 0  50 %"
    terminal send-keys Enter
    answer "Line for knob 0 (Enter for 1, x for none)" ""
    expect_exit 0
    expect_screen "knobvane runs now and starts at every login"
    calls=$(printf -- '--user --quiet %s knobvane\n' restart is-active stop enable restart)
    [ "$(cat "$dir/systemctl.log")" = "$calls" ] || fail "systemctl was called as: $(cat "$dir/systemctl.log")"
    expect_settings "$dir/serial/by-id/$box_id" 1
    ;;

  TakesItsSettingsFromTheCommandLine)
    # Without a dialogue: every row is ARGUMENTS|STATUS|WHAT IT SAYS[|WHAT HOLDS AFTER]. A
    # refusal changes nothing.
    printf 'KNOBVANE_PORT=/dev/ttyACM0\nKNOBVANE_LINES="3"\n' >"$dir/old.conf"
    mkdir -p "$(dirname "$settings")"
    cp "$dir/old.conf" "$settings"
    while IFS='|' read -r arguments expected_status said after; do
      eval "words=($arguments)"
      status=0
      output=$("$setup" "${words[@]}" 2>&1 </dev/null) || status=$?
      [ "$status" = "$expected_status" ] || fail "$arguments: status $status, not $expected_status: $output"
      grep -qF -- "$said" <<<"$output" || fail "$arguments said: $output"
      if [ "$status" = 2 ]; then cmp -s "$settings" "$dir/old.conf" || fail "$arguments changed the settings"; fi
      eval "${after:-true}" || fail "after $arguments: $after"
    done <<EOF
--help|0|--port PORT --lines "1 x 3"
--version|0|knobvane-setup 1.
--show|0|lines  3  (knob 0 first; x: none)
--port /dev/ttyACM1|2|Give both --port and --lines.
--lines 1|2|Give both --port and --lines.
--port /dev/ttyACM1 --lines "1 x 7"|2|7 is not a line of the list: the lines are 0 to 6
--port /dev/ttyACM1 --lines "x x"|2|No knob has a line.
--port /dev/ttyACM1 --lines "1 1 1 1 1 1 1"|2|The box has six knobs
--port "/dev/tty ACM1" --lines 1|2|No port can be called "/dev/tty ACM1"
--port /dev/ttyACM1 --lines 1 --now|2|"--now" is not an argument it takes.
--show extra|2|--show takes no other argument: "extra" is one too many.
--lines 1 --remove|2|--remove goes alone
--port /dev/ttyACM1 --port /dev/ttyACM2 --lines 1|2|--port is given twice.
--port /dev/ttyACM97 --lines 1|1|/dev/ttyACM97 is not there: is the box plugged in?|cmp -s "$settings" "$dir/old.conf"
--port COM200 --lines 1 --unplugged|0|port   /dev/ttyS199|cmp -s "$settings.bak" "$dir/old.conf"
--port=ttyACM97 --lines="x 05 x" --unplugged|0|lines  x 5|grep -qx KNOBVANE_PORT=/dev/ttyS199 "$settings.bak"
--show|0|port   /dev/ttyACM97
--remove|0|Moved $settings to $settings.bak
--show|0|Nothing is set
EOF
    # Run with sudo, it warns first, naming the user whose settings these are not.
    if [ "$(id -u)" = 0 ]; then
      first=$(SUDO_USER=ann "$setup" --port /dev/ttyACM97 --lines 1 2>&1 | head -n 1) || true
      grep -q "^Warning: .* root's, not ann's" <<<"$first" || fail "with sudo it said first: $first"
    fi
    # Without a sound server: not done (1), said at once, before any port is opened; no usage.
    for arguments in "--port /dev/ttyACM97 --lines 1" ""; do
      status=0
      # shellcheck disable=SC2086 # no arguments at all is one of the cases
      output=$(PULSE_SERVER=unix:$dir/nowhere "$setup" $arguments 2>&1 </dev/null) || status=$?
      [ "$status" = 1 ] && grep -qF "No sound line is listed" <<<"$output" || fail "$arguments without a server: $status: $output"
      ! grep -qE "Usage|ttyACM97|1\. The box" <<<"$output" || fail "$arguments without a server said: $output"
    done
    cmp -s "$settings.bak" <(printf '# %s\nKNOBVANE_PORT=/dev/ttyACM97\nKNOBVANE_LINES="x 5"\n' \
      'Written by knobvane-setup for the systemd user unit knobvane.service (man knobvane).') ||
      fail "the settings --remove kept: $(cat "$settings.bak")"
    ;;

  TakesOnlyAPortThatWorks)
    # Every row: PORT|WHAT IT SAYS. Each is refused with status 1 and changes nothing.
    mkdir -p "$(dirname "$settings")" "$dir/folder"
    printf 'KNOBVANE_PORT=/dev/ttyACM0\nKNOBVANE_LINES="3"\n' >"$settings"
    cp "$settings" "$dir/old.conf"
    echo hello >"$dir/file"
    coproc box { exec "$adc_box" --pty "$dir/ptys/silent" -; }
    pids+=("$box_PID")
    read -r -t 10 -u "${box[0]}" _ || fail "the silent box did not plug in"
    rows=("/dev/ttyACM97|/dev/ttyACM97 is not there: is the box plugged in?"
      "$dir/folder|$dir/folder is a folder, not a serial port."
      "$dir/file|$dir/file is a file, not a serial port."
      "/dev/null|/dev/null is a device, but not a serial port."
      "$dir/ptys/silent|Nothing that reads as a knob came from $dir/ptys/silent in 5 seconds")
    # A built-in port only root may open, tried as another user, who is told it is not the
    # box: only where the test may make the device and be that user.
    if [ "$(id -u)" = 0 ] && mknod -m 600 "$dir/ttyS0" c 4 64; then
      chmod 711 "$dir"
      rows+=("$dir/ttyS0|Only root may open $dir/ttyS0: it is probably not the box's port.")
    fi
    for row in "${rows[@]}"; do
      port=${row%%|*}
      as_user=()
      [ "$port" != "$dir/ttyS0" ] || as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
      status=0
      output=$("${as_user[@]}" "$setup" --port "$port" --lines 1 2>&1 </dev/null) || status=$?
      [ "$status" = 1 ] || fail "--port $port: status $status, not 1: $output"
      grep -qF -- "${row#*|}" <<<"$output" || fail "--port $port said: $output"
      cmp -s "$settings" "$dir/old.conf" || fail "--port $port changed the settings"
    done
    # The box that answers with a reading is kept.
    "$setup" --port "$dir/ptys/silent" --lines 1 >"$dir/out" 2>&1 &
    setup_pid=$!
    pids+=("$setup_pid")
    opened() { ls -l "/proc/$setup_pid/fd" 2>/dev/null | grep -qF -- "-> $(readlink -f "$dir/ptys/silent")"; }
    eventually opened || fail "setup never opened the box: $(cat "$dir/out")"
    turn 0:50%
    wait "$setup_pid" || fail "a box that answered was refused: $(cat "$dir/out")"
    grep -qx "KNOBVANE_PORT=$dir/ptys/silent" "$settings" || fail "the settings are: $(cat "$settings")"
    ;;

  TheReadmesDemoOfSetupRuns)
    # scripts/demo --setup as the README gives it: the box appears, its knobs turn by
    # themselves, the user presses Enter at each question; the settings outlive the demo.
    terminal new-session -d -x 150 -y 80 bash -c '"$@"; echo "$?" >"$0"' "$dir/status" \
      "$tests_folder/../scripts/demo" --setup
    pids+=("$(terminal display-message -p '#{pid}')")
    deadline=60 expect_screen "knob 2 "
    terminal send-keys Enter
    answer "Line for knob 0 (Enter for 1, x for none)" ""
    for knob in 1 2 3 4 5; do answer "Line for knob $knob (Enter or x for none)" ""; done
    expect_exit 0
    expect_screen "Stopped the server, the box and the adapter."
    kept=("$dir"/knobvane-setup-demo-*/knobvane/knobvane.conf)
    grep -qx 'KNOBVANE_LINES="1"' "${kept[0]}" || fail "the demo's settings: $(cat "${kept[@]}")"
    ;;

  *)
    fail "unknown case $case_name"
    ;;
esac
echo "PASS: $case_name"
