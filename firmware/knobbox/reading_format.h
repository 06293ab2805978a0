// The reading format, the one contract between the box and Knobvane: each reading is one line
// of decimal text, knob * 1024 + adc and a line feed, sent at 115200 baud 8N1. Written once
// here, in C++11 with integers only and no Arduino types, so that the sketch, the controller
// and the tools that play a box all take it from the same place: the sketch from beside it,
// the programs by its path in the repository, firmware/knobbox/reading_format.h. What
// Knobvane makes of a reading is the controller's (controller/knobvane.h).
#ifndef KNOBVANE_FIRMWARE_READING_FORMAT_H
#define KNOBVANE_FIRMWARE_READING_FORMAT_H

#include <stdint.h>

constexpr uint32_t READING_BAUD = 115200;  // 8 data bits, no parity, 1 stop bit
constexpr uint8_t READING_KNOBS = 6;       // knobs 0..5, Knobvane's six ADC channels
constexpr uint8_t READING_ADC_BITS = 10;   // the adc sits in the low bits of a reading
constexpr uint16_t READING_ADC_TOP = (1u << READING_ADC_BITS) - 1;  // 1023, full volume
constexpr uint8_t READING_LINE_BYTES = 5;  // "6143" and its line feed, the longest line

// The reading of a knob at an adc value: knob * 1024 + adc.
constexpr uint16_t ReadingOf(uint8_t knob, uint16_t adc) {
  return static_cast<uint16_t>((static_cast<uint16_t>(knob) << READING_ADC_BITS) | adc);
}

// Writes the line of knob's reading (0..READING_KNOBS-1, adc 0..READING_ADC_TOP) into `line`,
// which holds READING_LINE_BYTES, and returns its length; no terminating NUL. Of a reading
// beyond 4 digits, only the last 4 are written.
inline uint8_t FormatReadingLine(uint8_t knob, uint16_t adc, char* line) {
  uint16_t reading = ReadingOf(knob, adc);
  while (reading >= 10000) reading = static_cast<uint16_t>(reading - 10000);
  // Digits by subtraction: the box's chip has no divider, and dividing by 10 took it about 50
  // microseconds a line, while the knobs waited to be sampled.
  static constexpr uint16_t PLACES[] = {1000, 100, 10};
  uint8_t length = 0;
  for (uint16_t place : PLACES) {
    char digit = '0';
    while (reading >= place) {
      reading = static_cast<uint16_t>(reading - place);
      ++digit;
    }
    if (digit != '0' || length > 0) line[length++] = digit;
  }
  line[length++] = static_cast<char>('0' + reading);
  line[length++] = '\n';
  return length;
}

static_assert(ReadingOf(READING_KNOBS - 1, READING_ADC_TOP) == 6143,
              "the longest line is READING_LINE_BYTES - 1 digits");

#endif
