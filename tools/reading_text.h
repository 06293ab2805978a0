// The reading format for the programs that play a box on a computer (tools, tests, benchmarks):
// a reading's line as a string, made by the same code as the sketch's.
#ifndef KNOBVANE_TOOLS_READING_TEXT_H
#define KNOBVANE_TOOLS_READING_TEXT_H

#include <string>

#include "firmware/knobbox/reading_format.h"

// The line the box sends for knob (0..READING_KNOBS-1) at adc (0..READING_ADC_TOP), line
// feed included.
inline std::string ReadingLine(int knob, int adc) {
  char line[READING_LINE_BYTES];
  const uint8_t length =
      FormatReadingLine(static_cast<uint8_t>(knob), static_cast<uint16_t>(adc), line);
  return std::string(line, length);
}

#endif  // KNOBVANE_TOOLS_READING_TEXT_H
