#include "controller/knobvane.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "controller/states.h"
#include "platform/controller_services.h"
#include "platform/text.h"
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
// Lines in a row that are not readings before that is told: the first line after a connection
// may be the tail of one the box had begun.
constexpr int STRAY_LINES = 3;
// How often a knob's line that is not there is looked for while readings for it come.
constexpr DWORD LINE_LOOK_PAUSE_MS = CONNECT_PAUSE_MS;

bool SleepBetweenAttempts(DWORD milliseconds) {
  Sleep(milliseconds);
  return true;
}

// One run of the program: what it knows of the box, the server and the lines.
struct Run {
  explicit Run(const char* portName) : port(portName), report(portName, tellState) {}
  const char* port;
  StateReport report;
  DWORD refusal = ERROR_SUCCESS;  // the open's error the cause told was found for
  int strays = 0;                 // lines in a row that were not readings
  char lastStray[LINE_BUFFER_SIZE] = "";
  bool lineOpen[CHANNEL_COUNT] = {};
  bool serverAway = false;
  DWORD linesLooked = 0;  // GetTickCount's: differences survive its wrapping
};

bool AnyLine() {
  for (int32_t line : channelLines) {
    if (line != NO_LINE) return true;
  }
  return false;
}

// Opens every knob's line that is not open yet, telling which are not there.
void LookForLines(Run& run) {
  for (int channel = 0; channel < CHANNEL_COUNT; ++channel) {
    if (channelLines[channel] == NO_LINE || run.lineOpen[channel]) continue;
    run.lineOpen[channel] = channelSoundLines[channel].Open(nullptr, channelLines[channel]);
    run.report.Line(channel, channelLines[channel], run.lineOpen[channel]);
  }
  run.linesLooked = GetTickCount();
}

// Asks whether the sound server answers, telling a change; a server back may bring the lines
// that were not there.
void LookAtServer(Run& run) {
  if (soundServerThere == nullptr || !AnyLine()) return;
  const bool there = soundServerThere();
  run.report.Server(there);
  if (there && run.serverAway) LookForLines(run);
  run.serverAway = !there;
}

// Only the box's own lines: digits, and the carriage return a terminal program may leave.
bool ReadingForm(const char* line) {
  const size_t digits = strspn(line, "0123456789");
  const bool carriageReturn = line[digits] == '\r' && line[digits + 1] == 0;
  return digits > 0 && digits < READING_LINE_BYTES && (line[digits] == 0 || carriageReturn);
}

bool OfAChannel(const Reading& reading) {
  return reading.channel >= 0 && reading.channel < CHANNEL_COUNT;
}

void ApplyReading(Run& run, const Reading& reading) {
  // The box has six channels; anything else names no slot and is dropped.
  if (!OfAChannel(reading)) return;
  if (channelLines[reading.channel] == NO_LINE) return;
  if (!run.lineOpen[reading.channel]) {
    // A walk per reading would cost the readings of every other knob.
    if (run.serverAway || GetTickCount() - run.linesLooked < LINE_LOOK_PAUSE_MS) return;
    LookForLines(run);
    if (!run.lineOpen[reading.channel]) return;
  }
  const MMRESULT result = channelSoundLines[reading.channel].SetVolume(reading.volume);
  // A write that fails may mean the server went away; one after that, that it is back.
  if (result != MMSYSERR_NOERROR || run.serverAway) LookAtServer(run);
}

// Takes one line from the box; true when it was a reading.
bool TakeLine(Run& run, const char* line) {
  const Reading decoded = DecodeReading(line);
  const bool reading = ReadingForm(line) && OfAChannel(decoded);
  if (reading) {
    run.strays = 0;
    if (run.report.Box() != BOX_READING) run.report.Box(BOX_READING);
  } else {
    LineText(run.lastStray) << line;
    if (++run.strays >= STRAY_LINES) run.report.Box(BOX_NOT_READINGS, line);
  }
  // Lines that are not readings are decoded all the same, as the box's contract says.
  ApplyReading(run, decoded);
  return reading;
}

// Reads until the first reading, or until the box has been silent longer than a box that
// reports its knobs when its port opens would be; false when the port failed.
bool AwaitFirstReading(Run& run, HANDLE port, char* line, int32_t size) {
  const DWORD opened = GetTickCount();
  int32_t length = 0;
  bool heard = false;
  for (;;) {
    const DWORD waited = GetTickCount() - opened;
    if (waited >= boxSilenceMs) break;
    LimitComReads(port, boxSilenceMs - waited);
    const ComLinePart part = ReadComLinePart(port, line, size, &length);
    if (part == COM_PORT_FAILED) return false;
    if (part == COM_LINE_DONE && TakeLine(run, line)) return true;
    heard = heard || part == COM_LINE_DONE || length > 0;
  }
  if (!heard) {
    run.report.Box(BOX_SILENT);
  } else if (run.report.Box() != BOX_READING) {
    // A line begun and never ended is shown as it stands.
    line[length] = 0;
    run.report.Box(BOX_NOT_READINGS, length > 0 ? line : run.lastStray);
  }
  return true;
}

// Reads the box until its port fails. A port that is no serial port is not read: a file's lines
// would set volumes.
void ReadBox(Run& run, HANDLE port, char* line, int32_t size) {
  DCB settings = {};
  settings.DCBlength = sizeof settings;
  if (!GetCommState(port, &settings)) {
    char cause[STATE_LINE_BYTES];
    platform::PortRefusal(run.port, ERROR_INVALID_FUNCTION, cause, sizeof cause);
    run.report.Box(BOX_NOT_SERIAL, cause);
    return;
  }
  run.strays = 0;
  if (!AwaitFirstReading(run, port, line, size)) return;
  // From now on a read waits as long as the box rests, which may be hours.
  WaitForComReads(port);
  while (ReadComLine(port, line, size)) TakeLine(run, line);
}

// The port could not be opened: why, found again only when the error changes, as finding a
// port's holder reads every process's open files.
void TellRefusal(Run& run, DWORD error) {
  if (run.report.Box() == BOX_REFUSED && error == run.refusal) return;
  run.refusal = error;
  char cause[STATE_LINE_BYTES];
  platform::PortRefusal(run.port, error, cause, sizeof cause);
  run.report.Box(BOX_REFUSED, cause);
}

bool IsSkip(const char* text) { return strcmp(text, "x") == 0 || strcmp(text, "X") == 0; }

// Says once what of the line arguments is not used: a word that is no line number, and
// arguments past the sixth. An empty argument (blanks at the end of a command line) is none.
void TellArgumentFaults(const ArgumentList& arguments, StateReport& report) {
  const uint32_t count = arguments.Count();
  const uint32_t end = FIRST_LINE_ARGUMENT + CHANNEL_COUNT;
  char line[STATE_LINE_BYTES];
  char shown[SHOWN_BYTES + 1];
  for (uint32_t i = FIRST_LINE_ARGUMENT; i < count && i < end; ++i) {
    const char* text = arguments.Argument(i);
    char* after = nullptr;
    strtol(text, &after, 10);
    if (text[0] == 0 || after != text || IsSkip(text)) continue;
    Shown(text, shown);
    LineText remark(line);
    remark << "Knob ";
    remark.Number(static_cast<long>(i - FIRST_LINE_ARGUMENT))
        << ": \"" << shown << "\" is no line number (nor x, for none): the knob sets nothing.";
    report.Remark(line);
  }
  char ignored[SHOWN_BYTES + 1];
  LineText extra(ignored);
  for (uint32_t i = end; i < count; ++i) {
    if (arguments.Argument(i)[0] == 0) continue;
    Shown(arguments.Argument(i), shown);
    extra << (extra.Length() == 0 ? "" : " ") << shown;
  }
  if (extra.Length() > 0) {
    LineText(line) << "The box has six knobs, 0 to 5: the line arguments after the sixth ("
                   << ignored << ") are ignored.";
    report.Remark(line);
  }
}

}  // namespace

bool (*connectPause)(DWORD milliseconds) = SleepBetweenAttempts;
void (*tellState)(const char* line) = platform::TellState;
bool (*soundServerThere)() = nullptr;
DWORD boxSilenceMs = 5000;

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

bool IsReading(const char* line) { return ReadingForm(line) && OfAChannel(DecodeReading(line)); }

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
  Run run(arguments.Argument(1));
  TellArgumentFaults(arguments, run.report);

  // The lines are looked up once the server answers: a knobvane started before it works as one
  // started after.
  if (soundServerThere != nullptr && AnyLine()) {
    while (!soundServerThere()) {
      run.report.Server(false);
      if (!connectPause(CONNECT_PAUSE_MS)) return 0;
    }
    run.report.Server(true);
  }
  LookForLines(run);

  char line[LINE_BUFFER_SIZE];
  for (;;) {
    HANDLE port = OpenComPort(run.port, BAUD_RATE);
    const DWORD error = GetLastError();
    // The pause follows every attempt: a box that was just plugged in gets time to start.
    const bool goOn = connectPause(CONNECT_PAUSE_MS);
    if (port == INVALID_HANDLE_VALUE && goOn) {
      TellRefusal(run, error);
    } else if (port != INVALID_HANDLE_VALUE) {
      if (goOn) ReadBox(run, port, line, sizeof line);
      CloseComPort(port);
    }
    if (!goOn) return 0;
    LookAtServer(run);
    if (!run.serverAway) LookForLines(run);
  }
}
