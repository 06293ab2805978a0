#include "controller/knobvane.h"

#include <cctype>
#include <climits>
#include <cstdlib>

#include "serial/serial.h"

int32_t channelLines[CHANNEL_COUNT] = {NO_LINE, NO_LINE, NO_LINE, NO_LINE, NO_LINE, NO_LINE};
SoundLine channelSoundLines[CHANNEL_COUNT];

namespace {

const char USAGE[] =
    "USAGE: Knobvane.exe <COM-port> <Line0> [Line1] [Line2] [Line3] [Line4] [Line5]\n"
    "where COM-port is \"COMn\" or \"\\\\.\\COMnn\"\n"
    "Line[0..5] is sound line, corresponding to ADC channel number\n"
    "put here \"x\" to skip ADC channel \n"
    "EXAMPLES:\n"
    "Knobvane.exe COM3 1 2 3\n"
    "Knobvane.exe \\\\.\\COM13 x x x 3 2 1";

constexpr DWORD BAUD_RATE = READING_BAUD;
constexpr DWORD CONNECT_PAUSE_MS = 2000;
constexpr int LINE_BUFFER_SIZE = 256;
constexpr int FIRST_LINE_ARGUMENT = 2;

bool SleepBetweenAttempts(DWORD milliseconds) {
  Sleep(milliseconds);
  return true;
}

void ApplyReading(const char* line) {
  const Reading reading = DecodeReading(line);
  // The box has six channels; anything else names no slot and is dropped.
  if (reading.channel < 0 || reading.channel >= CHANNEL_COUNT) return;
  if (channelLines[reading.channel] == NO_LINE) return;
  channelSoundLines[reading.channel].SetVolume(reading.volume);
}

}  // namespace

bool (*connectPause)(DWORD milliseconds) = SleepBetweenAttempts;

void ShowUsageBox() { MessageBoxA(nullptr, USAGE, "Help", MB_OK); }

int32_t ParseLineArgument(const char* text) {
  char* end = nullptr;
  const long number = strtol(text, &end, 10);
  if (end == text) return NO_LINE;
  // Saturate where long is wider than 32 bits, as it is 32 bits wide on Windows.
  if (number > INT32_MAX) return INT32_MAX;
  if (number < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(number);
}

Reading DecodeReading(const char* line) {
  const unsigned char* c = reinterpret_cast<const unsigned char*>(line);
  while (isspace(*c)) ++c;
  const bool negative = *c == '-';
  if (*c == '-' || *c == '+') ++c;
  // atoi's reading, with a number past an int's range (undefined for atoi) turned into a
  // channel that does not exist.
  int64_t magnitude = 0;
  for (; isdigit(*c); ++c) {
    magnitude = magnitude * 10 + (*c - '0');
    if (magnitude > int64_t{INT32_MAX} + 1) return Reading{INT32_MIN, 0};
  }
  const int64_t r = negative ? -magnitude : magnitude;
  if (r > INT32_MAX) return Reading{INT32_MIN, 0};
  const int32_t reading = static_cast<int32_t>(r);
  const int32_t adc = reading & READING_ADC_TOP;
  // reading >> READING_ADC_BITS, rounding down: a negative reading gives a negative channel,
  // dropped later. Written as an exact division, as a negative number's shift is left to the
  // compiler.
  const int32_t channel =
      static_cast<int32_t>((int64_t{reading} - adc) / (int64_t{1} << READING_ADC_BITS));
  return Reading{channel, VolumeOfAdc(adc)};
}

int RunKnobvane(const ArgumentList& arguments, void (*showUsage)()) {
  const uint32_t count = arguments.Count();
  if (count > FIRST_LINE_ARGUMENT) {
    for (uint32_t i = FIRST_LINE_ARGUMENT; i < count && i < FIRST_LINE_ARGUMENT + CHANNEL_COUNT;
         ++i) {
      channelLines[i - FIRST_LINE_ARGUMENT] = ParseLineArgument(arguments.Argument(i));
    }
  } else {
    showUsage();
  }
  // Without a port there is nothing to connect to, ever.
  if (count < 2) return 1;
  const char* portName = arguments.Argument(1);

  for (int channel = 0; channel < CHANNEL_COUNT; ++channel) {
    if (channelLines[channel] != NO_LINE) {
      channelSoundLines[channel].Open(nullptr, channelLines[channel]);
    }
  }

  char line[LINE_BUFFER_SIZE];
  for (;;) {
    HANDLE port = OpenComPort(portName, BAUD_RATE);
    // The pause follows every attempt: a box that was just plugged in gets time to start.
    const bool goOn = connectPause(CONNECT_PAUSE_MS);
    if (port != INVALID_HANDLE_VALUE) {
      while (goOn && ReadComLine(port, line, sizeof line)) ApplyReading(line);
      CloseComPort(port);
    }
    if (!goOn) return 0;
  }
}
