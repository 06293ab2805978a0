// Where the knobs and mute buttons are wired on each chip the box runs on, as the Arduino
// boards name the pins (An, Dn: the sketch's digitalRead) and as the chip has them (the ADC's
// channel, which the sketch converts, and a port's bit: what a simulator drives). One table per
// chip, read by the sketch for its own chip and by box-sim for the chip an image was built for, so
// the two cannot disagree. Plain C++11 with integers only and no Arduino types.
#ifndef KNOBVANE_FIRMWARE_BOX_PINS_H
#define KNOBVANE_FIRMWARE_BOX_PINS_H

#include <stdint.h>

#include "reading_format.h"

// A knob's potentiometer wiper: the board's analog input An (n here, where a user wires it)
// and the ADC channel the chip converts for it, which on the ATmega32U4 is not n (A0 is ADC7,
// as the Leonardo's pin table has it).
struct KnobPin {
  uint8_t analogInput;
  uint8_t adcChannel;
};

// A mute button, from its pin to GND: the board's digital pin Dn and the chip's port and bit
// behind it (on the Mega, D2 is PE4).
struct ButtonPin {
  uint8_t digitalPin;
  char port;  // 'B', 'C', ...
  uint8_t bit;
};

struct BoxPins {
  KnobPin knobs[READING_KNOBS];  // knob 0 first
  ButtonPin buttons[READING_KNOBS];
};

// Uno and Nano: A0..A5, and the buttons on D2..D7 (all of port D).
constexpr BoxPins ATMEGA328P_PINS = {
    {{0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}},
    {{2, 'D', 2}, {3, 'D', 3}, {4, 'D', 4}, {5, 'D', 5}, {6, 'D', 6}, {7, 'D', 7}},
};

// Mega 2560: the same board pins as the Uno, so a box rewires pin for pin.
constexpr BoxPins ATMEGA2560_PINS = {
    {{0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}},
    {{2, 'E', 4}, {3, 'E', 5}, {4, 'G', 5}, {5, 'E', 3}, {6, 'H', 3}, {7, 'H', 4}},
};

// Leonardo, Micro and Pro Micro: the Pro Micro has no A4 and A5, so the last two knobs take
// A6 (on D4) and A7 (on D6), and the buttons the pins those leave free.
constexpr BoxPins ATMEGA32U4_PINS = {
    {{0, 7}, {1, 6}, {2, 5}, {3, 4}, {6, 8}, {7, 10}},
    {{2, 'D', 1}, {3, 'D', 0}, {5, 'C', 6}, {7, 'E', 6}, {8, 'B', 4}, {9, 'B', 5}},
};

// The chips by the name avr-gcc's -mmcu and the image's device note give them, for a program
// that runs an image.
struct BoxChip {
  const char* name;
  const BoxPins* pins;
};
constexpr BoxChip BOX_CHIPS[] = {
    {"atmega328p", &ATMEGA328P_PINS},
    {"atmega2560", &ATMEGA2560_PINS},
    {"atmega32u4", &ATMEGA32U4_PINS},
};

#endif  // KNOBVANE_FIRMWARE_BOX_PINS_H
