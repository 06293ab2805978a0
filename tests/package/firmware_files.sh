# Sourced by the package checks: the box's firmware as both packages carry it, the sketch
# folder as the Arduino IDE opens it (every *.ino and *.h of firmware/knobbox/), the firmware's
# README beside it, and every image the avr build made, under the build's names.
# Gives find_firmware FIRMWARE-BUILD, which sets firmware_names (relative to the packages'
# firmware folder) and firmware_sources, and expect_firmware FOLDER, which checks that FOLDER
# holds each of them byte for byte.
find_firmware() {
  local build=$1 file name
  firmware_names=() firmware_sources=()
  for file in "$tests"/../firmware/knobbox/*.ino "$tests"/../firmware/knobbox/*.h; do
    firmware_names+=("knobbox/${file##*/}") firmware_sources+=("$file")
  done
  firmware_names+=(README.md) firmware_sources+=("$tests/../firmware/README.md")
  [ -n "$build" ] || fail "no firmware build folder given"
  for file in "$build"/firmware/knobbox*.hex; do
    [ -e "$file" ] || fail "no knobbox*.hex in $build/firmware: build the avr preset"
    firmware_names+=("${file##*/}") firmware_sources+=("$file")
  done
}

expect_firmware() {
  local folder=$1 i
  for i in "${!firmware_names[@]}"; do
    cmp -s "${firmware_sources[$i]}" "$folder/${firmware_names[$i]}" ||
      fail "$folder/${firmware_names[$i]} is not ${firmware_sources[$i]}"
  done
}
