// The knob-to-speaker time: the box's firmware in box-sim --realtime, the real knobvane on its
// port, a private sound server; from the moment a knob steps until the observer sees the
// output's new volume, over random steps.
#ifndef KNOBVANE_BENCH_KNOB_TO_SPEAKER_H
#define KNOBVANE_BENCH_KNOB_TO_SPEAKER_H

#include <string>

#include "bench/pulse_observer.h"

namespace bench {

// A volume this close to where the knob is counts as the knob's: the firmware's deadband,
// which also keeps 2 counts of noise from being sent.
constexpr int ARRIVED_COUNTS = 2;

// A board's USB frames: an ATmega32U4 (Leonardo, Micro, Pro Micro) hands over what it was
// given once a USB frame; the ATmega16U2 bridge of an Uno or a Mega once its flush timer runs
// over (256 x 256 cycles at 16 MHz).
constexpr int USB_FRAME_32U4_US = 1000;
constexpr int USB_FRAME_16U2_US = 4096;

struct SpeakerSetup {
  std::string knobvane;         // the program
  std::string boxSim;           // the program
  std::string firmware;         // the image box-sim runs
  std::string folder;           // for the port, box-sim's commands and the logs
  std::string figures = "box";  // what the figures' names begin with
  // How the board's USB hands the port the UART's bytes: in frames this long, 0 for each byte
  // at once (box-sim's --usb-frame).
  int usbFrameUs = USB_FRAME_32U4_US;
};

// Runs the steps and prints their box_* figures; nullptr, or what failed before any figure.
// Everything it starts is stopped by PID before it returns.
const char* KnobToSpeaker(PulseObserver& observer, const SpeakerSetup& setup);

}  // namespace bench

#endif  // KNOBVANE_BENCH_KNOB_TO_SPEAKER_H
