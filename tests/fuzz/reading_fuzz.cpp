// Decodes any line as a reading and checks it against atoi's reading worked out in 64 bits:
// the channel is the reading divided by 1024 rounded down, the volume the low 10 bits on the
// volume scale, and a number past an int's range gives the invalid channel.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "controller/knobvane.h"

namespace {

const int32_t INVALID_CHANNEL = INT32_MIN;

void Check(bool condition) {
  if (!condition) abort();
}

// atoi's reading of line: whitespace, a sign, digits; false when the number does not fit
// an int.
bool ReferenceReading(const char* line, int32_t* reading) {
  const char* c = line;
  while (*c == ' ' || (*c >= '\t' && *c <= '\r')) ++c;
  const bool negative = *c == '-';
  if (*c == '-' || *c == '+') ++c;
  int64_t magnitude = 0;
  for (; *c >= '0' && *c <= '9'; ++c) {
    magnitude = magnitude * 10 + (*c - '0');
    if (magnitude > int64_t{INT32_MAX} + 1) return false;
  }
  const int64_t value = negative ? -magnitude : magnitude;
  if (value > INT32_MAX || value < INT32_MIN) return false;
  *reading = static_cast<int32_t>(value);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A line from the port ends at its first NUL.
  std::string line(reinterpret_cast<const char*>(data), size);
  const Reading decoded = DecodeReading(line.c_str());
  line.resize(strlen(line.c_str()));

  Check(decoded.volume <= 65535);
  int32_t reading = 0;
  if (!ReferenceReading(line.c_str(), &reading)) {
    Check(decoded.channel == INVALID_CHANNEL);
    return 0;
  }
  // Where atoi is defined the decoder must read what it reads.
  Check(reading == atoi(line.c_str()));
  const int64_t adc = int64_t{reading} & 1023;
  const int64_t channel = (int64_t{reading} - adc) / 1024;
  Check(decoded.channel == channel);
  Check(decoded.volume == adc * 65535 / 1023);
  Check(decoded.volume == static_cast<DWORD>(static_cast<double>(adc) * 65535.0 / 1023.0));
  return 0;
}
