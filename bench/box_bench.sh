#!/usr/bin/env bash
# The box's figures, in simulated time: the firmware images in box-sim --fast, knobs driven
# from here. Prints RESULT lines for bench/run: on the first image, lines a second at rest
# (six knobs with 2 counts of noise), with one knob turning, with all six turning; on each
# image, the longest time between two conversions of a knob while one turns, and on each
# image that sends (not the ATmega32U4's: simavr has no USB), the time from a knob's move to
# its line's line feed leaving the UART (median and most, over 200 moves).
# Usage: bench/box_bench.sh PATH/TO/box-sim PATH/TO/knobbox.elf [MCU:PATH/TO/image.elf...]
set -euo pipefail
box_sim=$1
firmware=$2
shift 2

dir=$(mktemp -d /tmp/knobvane-box-bench-XXXXXX)
trap 'rm -rf "$dir"' EXIT

# Runs box-sim on the commands read from standard input; prints "ms reading" per line sent.
simulate() { "$box_sim" "$firmware" --link "$dir/box" --fast 2>/dev/null | grep -v '^ok$'; }

# Lines a second between 1 s and the end (after the report at reset), SECONDS long.
rate() { awk -v seconds="$1" '$1 >= 1000 { n++ } END { printf "%.1f\n", n / (seconds - 1) }'; }

# Every knob resting, with ADC noise.
at_rest=$({
  for knob in 0 1 2 3 4 5; do echo "knob $knob $((knob * 200 + 10))"; done
  echo "noise 2"
  echo "run 30000"
} | simulate | rate 30)

# Knobs 0 (one) or 0..5 (all) going back and forth, each at its own pace, the others resting.
turning() {
  local turning_knobs=$1
  awk -v knobs="$turning_knobs" 'BEGIN {
    for (k = 0; k < 6; k++) { adc[k] = 100 * k + 10; step[k] = (k % 2 ? -1 : 1) * (30 + 7 * k); print "knob " k " " adc[k] }
    print "noise 2"
    for (t = 0; t < 10000; t += 5) {
      for (k = 0; k < knobs; k++) {
        if (adc[k] + step[k] < 0 || adc[k] + step[k] > 1023) step[k] = -step[k]
        adc[k] += step[k]; print "knob " k " " adc[k]
      }
      print "run 5"
    }
  }' | simulate | rate 10
}
one_turning=$(turning 1)
all_turning=$(turning 6)

# Knob 0 turning for 2 s, its lines being sent, the others resting, after a second to start:
# the longest any knob waited between two of its conversions, in ms.
sampling_interval() {
  {
    for knob in 1 2 3 4 5; do echo "knob $knob $((knob * 150))"; done
    echo "run 1000"
    echo "intervals"
    for t in $(seq 0 5 1995); do
      echo "knob 0 $((t / 5 % 2 ? 200 : 300))"
      echo "run 5"
    done
    echo "intervals"
  } | "$box_sim" "$1" --link "$dir/box" --fast 2>/dev/null | awk '
    $1 == "intervals" && ++asked == 2 { for (i = 2; i <= NF; ++i) if ($i > most) most = $i
                                        printf "%.3f\n", most / 1000 }'
}

# Moves of knob 0 every 97 ms (against the knobs' round of about 1 ms, so they fall at every
# phase of it), between 300 and 700: the time from each move to the first line of knob 0
# after it.
move_to_uart() {
  {
    echo "knob 0 300"
    echo "run 1000"
    for move in $(seq 1 200); do
      echo "knob 0 $((move % 2 ? 700 : 300))"
      echo "run 97"
    done
  } | "$box_sim" "$1" --link "$dir/box" --fast 2>/dev/null | grep -v '^ok$' | awk '
  $2 < 1024 && $1 > 1000 {
    move = int(($1 - 1000) / 97)
    if (!(move in seen)) { seen[move] = 1; print $1 - (1000 + 97 * move) }
  }' | sort -n | awk '{ delay[++n] = $1 }
  END { printf "%.3f %.3f %d\n", delay[int((n + 1) / 2)], delay[n], n }'
}

echo "RESULT box_lines_rest_per_s $at_rest"
echo "RESULT box_lines_one_turning_per_s $one_turning"
echo "RESULT box_lines_all_turning_per_s $all_turning"
for image in "atmega328p:$firmware" "$@"; do
  mcu=${image%%:*}
  echo "RESULT box_${mcu}_sampling_interval_ms $(sampling_interval "${image#*:}")"
  [ "$mcu" = atmega32u4 ] && continue
  read -r median most moves <<<"$(move_to_uart "${image#*:}")"
  echo "RESULT box_${mcu}_move_to_uart_median_ms $median"
  echo "RESULT box_${mcu}_move_to_uart_most_ms $most"
  echo "RESULT box_${mcu}_move_to_uart_moves $moves"
done
