// Decodes any line as a reading and checks what must hold of the result: atoi's reading
// where atoi is defined (strtoll, in 64 bits, says where), the channel that reading divided by
// 1024 rounded down, the volume the rest on the scale 0..65535 rounded down, and a number past
// an int's range the invalid channel.
#include <errno.h>

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A line from the port ends at its first NUL.
  std::string line(reinterpret_cast<const char*>(data), size);
  const Reading decoded = DecodeReading(line.c_str());
  line.resize(strlen(line.c_str()));

  Check(decoded.volume <= 65535);
  errno = 0;
  const long long number = strtoll(line.c_str(), nullptr, 10);
  if (errno == ERANGE || number > INT32_MAX || number < INT32_MIN) {
    Check(decoded.channel == INVALID_CHANNEL);
    return 0;
  }
  Check(number == atoi(line.c_str()));
  const int64_t adc = number - int64_t{decoded.channel} * 1024;
  Check(adc >= 0 && adc <= 1023);
  // volume = adc * 65535 / 1023, rounded down.
  Check(int64_t{decoded.volume} * 1023 <= adc * 65535);
  Check(adc * 65535 < (int64_t{decoded.volume} + 1) * 1023);
  return 0;
}
