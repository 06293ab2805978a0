#include "setup/setup.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "controller/knobvane.h"
#include "lister/lister.h"
#include "platform/setup_services.h"
#include "serial/serial.h"
#include "sound-lines/sound_line.h"

using platform::ControllerSettings;
using platform::SerialPort;

namespace {

constexpr DWORD PORT_LOOK_MS = 250;  // how often the ports are listed while waiting
constexpr DWORD KNOB_READ_MS = 50;   // the longest a read of the box holds the view
constexpr DWORD REOPEN_MS = 500;     // how often a port that went away is tried again
constexpr DWORD SILENCE_MS = 5000;   // a restarted box reports well within it
constexpr int STRAY_LINES = 3;       // lines that are no readings before they are told
constexpr int LINE_BUFFER_SIZE = 256;
constexpr int SHOWN_STATE_LINES = 8;  // of Knobvane's, at the end of --show
const char NO_SOUND_LINES[] = "No sound line is listed: is the sound server running?";

const char USAGE[] =
    "Usage: %s                       the dialogue: the box, its knobs, their lines\n"
    "       %s --port PORT --lines \"1 x 3\" [--unplugged]\n"
    "                                     keep these settings and start the controller\n"
    "       %s --show                what is set\n"
    "       %s --remove              take the settings and the start at login away\n"
    "       %s --help | --version\n"
    "LINES are the line numbers Linescout lists, knob 0 first; x: none.\n"
    "PORT is kept only when it opens as a serial port and the box sends readings on it within\n"
    "a few seconds; --unplugged, for a box that is not plugged in now, waits for no readings\n"
    "and takes a port that is not there.\n";

// Whether this run stopped the controller, which then has to run again at its end.
bool controllerStopped = false;
// Whether the live view's line is open, without its line end.
bool viewLineOpen = false;

void EndViewLine() {
  if (viewLineOpen) printf("\n");
  viewLineOpen = false;
}

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// What a port sent, fit to be shown: printable, and short.
std::string Shown(const char* line) {
  std::string shown;
  for (const char* c = line; *c != 0 && shown.size() < 40; ++c) {
    shown += *c >= 32 && *c < 127 ? *c : '?';
  }
  return shown;
}

// Waits for a typed line; false when the input ended.
bool AskLine(std::string* answer) {
  fflush(stdout);
  platform::Input input;
  while ((input = platform::ReadInputLine(answer, 1000)) == platform::INPUT_NOTHING) {
  }
  if (input == platform::INPUT_ENDED) printf("\nStopped: nothing was set.\n");
  return input == platform::INPUT_LINE;
}

// ---- 1. The box ------------------------------------------------------------------------------

std::vector<std::string> Names(const std::vector<SerialPort>& ports) {
  std::vector<std::string> names;
  for (const SerialPort& port : ports) names.push_back(port.name);
  return names;
}

const SerialPort* Find(const std::vector<SerialPort>& ports, const std::string& name) {
  for (const SerialPort& port : ports) {
    if (port.name == name) return &port;
  }
  return nullptr;
}

void PrintPort(const char* before, const SerialPort& port) {
  printf("%s%s%s%s\n", before, port.name.c_str(), port.device.empty() ? "" : "  ",
         port.device.c_str());
}

// The list the user chooses from by number.
void PrintPorts(const std::vector<SerialPort>& ports) {
  if (ports.empty()) printf("No serial port is there now.\n");
  if (!ports.empty()) printf("The serial ports there now:\n");
  for (size_t i = 0; i < ports.size(); ++i) {
    PrintPort(("  " + std::to_string(i + 1) + "  ").c_str(), ports[i]);
  }
}

// The port that appears while the user plugs the box in, or the one chosen by its number or
// name; "" when the input ended. Opens no port: opening one restarts the board behind it.
std::string AwaitPort() {
  std::vector<SerialPort> shown = platform::ListSerialPorts(), before = shown;
  PrintPorts(shown);
  printf(
      "Plug the box in now (or unplug it and plug it in again): its port is the one that "
      "appears. Or type its number in the list (Enter alone: the only one there) or its name, "
      "and press Enter.\n");
  for (;;) {
    fflush(stdout);
    std::string typed;
    const platform::Input input = platform::ReadInputLine(&typed, PORT_LOOK_MS);
    if (input == platform::INPUT_ENDED) {
      printf("Stopped: nothing was set.\n");
      return "";
    }
    const std::vector<SerialPort> now = platform::ListSerialPorts();
    for (const SerialPort& port : before) {
      if (Find(now, port.name) == nullptr) printf("Gone: %s\n", port.name.c_str());
    }
    const PortChoice choice = ChoosePort(Names(shown), Names(before), Names(now),
                                         input == platform::INPUT_LINE ? &typed : nullptr);
    before = now;
    if (choice.kind == PORT_CHOSEN) {
      const SerialPort* port = Find(now, choice.port);
      if (port == nullptr) port = Find(shown, choice.port);
      PrintPort("The box: ", port != nullptr ? *port : SerialPort{choice.port, ""});
      return choice.port;
    }
    if (choice.kind == PORT_TYPED) {
      const std::string name = platform::ControllerPortName(choice.port);
      if (!name.empty()) return name;
      printf("No port can be called \"%s\": type another, or plug the box in.\n",
             Shown(choice.port.c_str()).c_str());
    } else if (choice.kind == PORT_NOT_LISTED) {
      printf(
          "%s is not a number of the list: type one from 1 to %d, a port's name, or plug the "
          "box in.\n",
          Shown(Trimmed(typed).c_str()).c_str(), static_cast<int>(shown.size()));
    } else if (choice.kind == PORT_WHICH && now.empty()) {
      printf("No serial port is there now: plug the box in.\n");
    } else if (choice.kind == PORT_WHICH) {
      shown = now;
      PrintPorts(shown);
      printf("Which of them is the box's? Type its number and press Enter.\n");
    }
  }
}

// The port's name that holds the next time the box is plugged in.
std::string StableName(const std::string& port) {
  std::string note;
  const std::string stable = platform::StablePortName(port, &note);
  if (stable != port) printf("Its lasting name: %s\n", stable.c_str());
  if (!note.empty()) printf("%s\n", note.c_str());
  return stable;
}

// ---- 2. Access -------------------------------------------------------------------------------

// Opens the port the user chose as a serial port, stopping the controller first when it holds
// it; INVALID_HANDLE_VALUE with the error that tells why when that fails.
HANDLE OpenBox(const std::string& port, DWORD* error) {
  HANDLE box = OpenComPort(port.c_str(), READING_BAUD);
  *error = GetLastError();
  if (box == INVALID_HANDLE_VALUE && *error == ERROR_ACCESS_DENIED && !controllerStopped &&
      platform::ControllerRunning()) {
    controllerStopped = platform::StopController();
    box = OpenComPort(port.c_str(), READING_BAUD);
    *error = GetLastError();
  }
  // A file or a device of another kind opens too, and then never sends a line.
  DCB state = {};
  state.DCBlength = sizeof state;
  if (box != INVALID_HANDLE_VALUE && !GetCommState(box, &state)) {
    *error = GetLastError();
    CloseComPort(box);
    box = INVALID_HANDLE_VALUE;
  }
  return box;
}

// ---- 3. The knobs ----------------------------------------------------------------------------

// Shows the knob a reading moved, on a line of its own while it is the one turning.
void ShowKnob(int knob, int percent, int* lastKnob) {
  if (knob != *lastKnob) EndViewLine();
  printf("\rknob %d %3d %%", knob, percent);
  fflush(stdout);
  viewLineOpen = true;
  *lastKnob = knob;
}

void TellStrayLines(const std::string& port, const char* line) {
  printf(
      "%s sends lines that are not the box's readings, like \"%s\": is it the box's port? "
      "The box sends at %u baud; is Knobvane's firmware on it?\n",
      port.c_str(), Shown(line).c_str(), static_cast<unsigned>(READING_BAUD));
}

void TellSilence(const std::string& port) {
  printf(
      "Nothing that reads as a knob came from %s in %d seconds: is it the box's port, and is "
      "Knobvane's firmware on the box?",
      port.c_str(), static_cast<int>(SILENCE_MS / 1000));
}

// What ShowKnobs returns besides the highest knob seen.
constexpr int NO_KNOB_SEEN = -1;
constexpr int STOPPED = -2;  // the input ended: the user stopped the dialogue

// Shows the knobs live until the user presses Enter. The highest knob seen, NO_KNOB_SEEN when
// none was (then nothing can be set), or STOPPED.
int ShowKnobs(HANDLE box, const std::string& port) {
  printf(
      "Turn each knob: the knob's number and position show here. Press Enter when you know "
      "which knob is which.\n");
  LimitComReads(box, KNOB_READ_MS);
  char line[LINE_BUFFER_SIZE];
  int32_t length = 0;
  int highest = NO_KNOB_SEEN, lastKnob = -1, strays = 0;
  bool silenceTold = false;
  const DWORD opened = GetTickCount();
  for (;;) {
    const ComLinePart part = box == INVALID_HANDLE_VALUE
                                 ? COM_LINE_PENDING
                                 : ReadComLinePart(box, line, sizeof line, &length);
    int knob = 0, percent = 0;
    if (part == COM_LINE_DONE && ReadKnob(line, &knob, &percent)) {
      ShowKnob(knob, percent, &lastKnob);
      if (knob > highest) highest = knob;
    } else if (part == COM_LINE_DONE && ++strays == STRAY_LINES) {
      EndViewLine();
      TellStrayLines(port, line);
    } else if (part == COM_PORT_FAILED) {
      CloseComPort(box);
      box = INVALID_HANDLE_VALUE;
      length = 0;
      EndViewLine();
      printf("%s went away: was the box unplugged? Plug it in again to go on.\n", port.c_str());
    }
    if (highest < 0 && !silenceTold && GetTickCount() - opened > SILENCE_MS) {
      EndViewLine();
      TellSilence(port);
      printf(" Turn a knob, or press Enter to choose another port.\n");
      silenceTold = true;
    }
    std::string typed;
    const platform::Input input =
        platform::ReadInputLine(&typed, box == INVALID_HANDLE_VALUE ? REOPEN_MS : 0);
    if (input != platform::INPUT_NOTHING) {
      if (box != INVALID_HANDLE_VALUE) CloseComPort(box);
      // The Enter typed ended the view's line on the screen.
      viewLineOpen = viewLineOpen && input == platform::INPUT_ENDED;
      EndViewLine();
      if (input == platform::INPUT_ENDED) {
        printf("Stopped: nothing was set.\n");
        return STOPPED;
      }
      if (highest < 0)
        printf("No knob was seen on %s: choose the box's port again.\n", port.c_str());
      return highest;
    }
    if (box == INVALID_HANDLE_VALUE) {
      box = OpenComPort(port.c_str(), READING_BAUD);
      if (box != INVALID_HANDLE_VALUE) LimitComReads(box, KNOB_READ_MS);
      if (box != INVALID_HANDLE_VALUE) printf("The box is back.\n");
    }
  }
}

// Waits up to SILENCE_MS for the box's first reading on a port just opened; false, having said
// what came instead, when none came.
bool AwaitReading(HANDLE box, const std::string& port) {
  LimitComReads(box, KNOB_READ_MS);
  char line[LINE_BUFFER_SIZE], stray[LINE_BUFFER_SIZE] = "";
  int32_t length = 0;
  int knob = 0, percent = 0;
  for (const DWORD opened = GetTickCount(); GetTickCount() - opened < SILENCE_MS;) {
    const ComLinePart part = ReadComLinePart(box, line, sizeof line, &length);
    if (part == COM_LINE_DONE && ReadKnob(line, &knob, &percent)) return true;
    if (part == COM_LINE_DONE) memcpy(stray, line, sizeof stray);
    if (part == COM_PORT_FAILED) {
      printf("%s went away: was the box unplugged?\n", port.c_str());
      return false;
    }
  }
  if (stray[0] != 0) TellStrayLines(port, stray);
  if (stray[0] == 0) {
    TellSilence(port);
    printf("\n");
  }
  return false;
}

// ---- 4. The lines ----------------------------------------------------------------------------

int32_t CountLine(VisitKind, const MIXERCAPSA*, const MIXERLINEA*, void* count) {
  ++*static_cast<int32_t*>(count);
  return 0;
}

// The number of lines in Linescout's listing: its numbered lines.
int32_t NumberedLines(const std::string& listing) {
  int32_t count = 0;
  for (size_t start = 0; start < listing.size(); start = listing.find('\n', start) + 1) {
    const size_t digit = listing.find_first_not_of(' ', start);
    if (digit != std::string::npos && listing[digit] >= '0' && listing[digit] <= '9') ++count;
    if (listing.find('\n', start) == std::string::npos) break;
  }
  return count;
}

// The number of sound lines as the controller numbers them, the list printed first when asked.
int32_t SoundLines(bool print) {
  std::string listing;
  if (platform::ControllerLinesListing(&listing)) {
    if (print) printf("%s", listing.c_str());
    return NumberedLines(listing);
  }
  if (print) {
    ListSoundLines();
    return ListedLineCount();
  }
  int32_t count = 0;
  ForEachSoundLine(CountLine, &count);
  return count;
}

// Asks each knob's line in turn, a number not in the list again; "" when the input ended.
std::string AskLines(int knobs, int32_t lineCount) {
  std::string typed;
  for (int knob = 0; knob <= knobs; ++knob) {
    const int proposed = knob == 0 && platform::ProposedFirstLine() < lineCount
                             ? platform::ProposedFirstLine()
                             : NO_LINE;
    for (;;) {
      if (proposed == NO_LINE) printf("Line for knob %d (Enter or x for none): ", knob);
      if (proposed != NO_LINE)
        printf("Line for knob %d (Enter for %d, x for none): ", knob, proposed);
      std::string answer;
      if (!AskLine(&answer)) return "";
      answer = Trimmed(answer);
      if (answer.empty()) answer = proposed == NO_LINE ? "x" : std::to_string(proposed);
      std::string lines, reason;
      if (answer.find(' ') == std::string::npos &&
          (answer == "x" || answer == "X" || ParseKnobLines(answer, lineCount, &lines, &reason))) {
        typed += (knob == 0 ? "" : " ") + std::string(answer == "X" ? "x" : answer);
        break;
      }
      printf("%s is not a line of the list above: type a number from 0 to %d, or x for none.\n",
             Shown(answer.c_str()).c_str(), static_cast<int>(lineCount - 1));
    }
  }
  std::string lines, reason;
  if (!ParseKnobLines(typed, lineCount, &lines, &reason)) {
    printf("%s Nothing was set.\n", reason.c_str());
    return "";
  }
  return lines;
}

// ---- 5. Done ---------------------------------------------------------------------------------

void PrintSettings(const ControllerSettings& settings) {
  printf("  port   %s\n  lines  %s  (knob 0 first; x: none)\n", settings.port.c_str(),
         settings.lines.c_str());
}

// Keeps the settings and starts the controller with them; the exit status.
int Apply(const ControllerSettings& settings) {
  if (!platform::WriteSettings(settings)) return 1;
  const bool started = platform::StartController();
  controllerStopped = false;
  if (!started) return 1;
  printf("Done. Knobvane reads the box with these settings:\n");
  PrintSettings(settings);
  printf("To undo all of this: %s --remove\n", platform::SetupProgramName());
  return 0;
}

void WarnOfTheUser() {
  const std::string warning = platform::UserWarning();
  if (!warning.empty()) printf("%s\n\n", warning.c_str());
}

int RunDialogue() {
  printf("Knobvane setup %s: from the box to knobs that set your volumes.\n\n", KNOBVANE_VERSION);
  WarnOfTheUser();
  // Before the user plugs anything in and turns every knob: without a sound server nothing
  // could be set at the end.
  if (SoundLines(false) == 0) {
    printf("%s Start it (or log in to your desktop), then run %s again. Nothing was set.\n",
           NO_SOUND_LINES, platform::SetupProgramName());
    return 1;
  }
  std::string port;
  HANDLE box = INVALID_HANDLE_VALUE;
  int knobs = NO_KNOB_SEEN;
  // A port that cannot be opened, or on which no knob turns, is asked again.
  while (knobs == NO_KNOB_SEEN) {
    printf("1. The box\n");
    port = AwaitPort();
    if (port.empty()) return 1;
    port = StableName(port);
    printf("\n2. The port\n");
    DWORD error = ERROR_SUCCESS;
    box = OpenBox(port, &error);
    if (box == INVALID_HANDLE_VALUE) {
      printf("%s\nChoose the box's port again.\n\n", platform::WhyPortRefused(port, error).c_str());
      continue;
    }
    printf("%s is open.\n\n3. The knobs\n", port.c_str());
    knobs = ShowKnobs(box, port);
    if (knobs == NO_KNOB_SEEN) printf("\n");
  }
  if (knobs == STOPPED) return 1;
  printf("\n4. The lines\n");
  const int32_t lineCount = SoundLines(true);
  if (lineCount == 0) {
    printf("%s Nothing was set.\n", NO_SOUND_LINES);
    return 1;
  }
  const std::string lines = AskLines(knobs, lineCount);
  if (lines.empty()) return 1;
  printf("\n5. Done\n");
  return Apply({port, lines});
}

// The last lines Knobvane told of its states: why its knobs do nothing, when they do not.
void PrintStateLines() {
  std::string lines;
  if (!platform::RecentStateLines(SHOWN_STATE_LINES, &lines)) return;
  printf("Knobvane's last lines (%s):\n", platform::StateLogPlace().c_str());
  for (size_t start = 0; start < lines.size();) {
    const size_t end = std::min(lines.find('\n', start), lines.size());
    printf("  %s\n", lines.substr(start, end - start).c_str());
    start = end + 1;
  }
}

int Show() {
  ControllerSettings settings;
  if (!platform::ReadSettings(&settings)) {
    printf("Nothing is set (%s).\n", platform::SettingsPlace().c_str());
    PrintStateLines();
    return 0;
  }
  printf("Set in %s:\n", platform::SettingsPlace().c_str());
  PrintSettings(settings);
  // A knobvane started by hand holds the port too, though no unit of the user's runs.
  const bool running = platform::ControllerRunning();
  const std::string holders = running ? "" : platform::PortHolders(settings.port);
  if (running) printf("Knobvane runs now.\n");
  if (!holders.empty()) printf("The port is open in %s now.\n", holders.c_str());
  if (!running && holders.empty()) printf("Knobvane does not run now.\n");
  PrintStateLines();
  return 0;
}

int Refuse(const char* program, const std::string& reason) {
  fprintf(stderr, "%s: %s Nothing was changed.\n", program, reason.c_str());
  fprintf(stderr, USAGE, program, program, program, program, program);
  return 2;
}

// Opens the port given on the command line as the dialogue does and waits for a reading, unless
// the box is not plugged in now; false, having said why, when the port cannot be kept.
bool PortWorks(const std::string& port, bool unplugged) {
  DWORD error = ERROR_SUCCESS;
  HANDLE box = OpenBox(port, &error);
  if (box == INVALID_HANDLE_VALUE && unplugged &&
      (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)) {
    printf("%s is not there now: Knobvane waits for it.\n", port.c_str());
    return true;
  }
  if (box == INVALID_HANDLE_VALUE) {
    printf("%s\n", platform::WhyPortRefused(port, error).c_str());
    return false;
  }
  const bool answered = unplugged || AwaitReading(box, port);
  CloseComPort(box);
  if (!answered)
    printf("For a box that is not plugged in now, --unplugged keeps the port as it is.\n");
  return answered;
}

// The settings given as arguments, checked, kept, and the controller started with them.
int SetUp(const char* program, const std::string& port, const std::string& typedLines,
          bool unplugged) {
  if (port.empty() || typedLines.empty()) return Refuse(program, "Give both --port and --lines.");
  const std::string controllerPort = platform::ControllerPortName(port);
  if (controllerPort.empty()) {
    return Refuse(program, "No port can be called \"" + Shown(port.c_str()) + "\".");
  }
  WarnOfTheUser();
  const int32_t lineCount = SoundLines(false);
  if (lineCount == 0) {
    printf("%s Nothing was changed.\n", NO_SOUND_LINES);
    return 1;
  }
  std::string lines, reason;
  if (!ParseKnobLines(typedLines, lineCount, &lines, &reason)) return Refuse(program, reason);
  if (!PortWorks(controllerPort, unplugged)) {
    printf("Nothing was changed.\n");
    return 1;
  }
  return Apply({controllerPort, lines});
}

bool StandsAlone(const std::string& argument) {
  for (const char* command : {"--help", "-h", "--version", "--show", "--remove"}) {
    if (argument == command) return true;
  }
  return false;
}

// The value of an option given as "--name value" or "--name=value", taking the words it uses;
// false with the reason when it has none or was given before.
bool OptionValue(const char* name, int argc, char** argv, int* i, std::string* value,
                 std::string* reason) {
  const std::string argument = argv[*i];
  const size_t equals = strlen(name);
  const bool joined = argument.compare(0, equals, name) == 0 && argument[equals] == '=';
  if (!value->empty()) *reason = std::string(name) + " is given twice.";
  if (!joined && *i + 1 >= argc) *reason = std::string(name) + " needs a value after it.";
  if (!reason->empty()) return false;
  *value = joined ? argument.substr(equals + 1) : argv[++*i];
  if (value->empty()) *reason = std::string(name) + " needs a value after it.";
  return reason->empty();
}

int RunArguments(const char* program, int argc, char** argv) {
  const std::string first = argv[1];
  if (StandsAlone(first) && argc > 2) {
    return Refuse(program,
                  first + " takes no other argument: \"" + Shown(argv[2]) + "\" is one too many.");
  }
  if (first == "--help" || first == "-h") {
    printf(USAGE, program, program, program, program, program);
    return 0;
  }
  if (first == "--version") {
    printf("%s %s\n", program, KNOBVANE_VERSION);
    return 0;
  }
  if (first == "--show") return Show();
  if (first == "--remove") return platform::RemoveSettings() ? 0 : 1;
  std::string port, typedLines, reason;
  bool unplugged = false;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    const std::string name = argument.substr(0, argument.find('='));
    if (name == "--port" || name == "--lines") {
      if (!OptionValue(name.c_str(), argc, argv, &i, name == "--port" ? &port : &typedLines,
                       &reason)) {
        return Refuse(program, reason);
      }
    } else if (argument == "--unplugged") {
      unplugged = true;
    } else if (StandsAlone(argument)) {
      return Refuse(program, argument + " goes alone, without --port and --lines.");
    } else {
      return Refuse(program, "\"" + Shown(argument.c_str()) + "\" is not an argument it takes.");
    }
  }
  return SetUp(program, port, typedLines, unplugged);
}

}  // namespace

PortChoice ChoosePort(const std::vector<std::string>& shown, const std::vector<std::string>& before,
                      const std::vector<std::string>& now, const std::string* answer) {
  const auto appearedSince = [&now](const std::vector<std::string>& earlier) {
    std::vector<std::string> appeared;
    for (const std::string& port : now) {
      if (std::find(earlier.begin(), earlier.end(), port) == earlier.end())
        appeared.push_back(port);
    }
    return appeared;
  };
  if (answer == nullptr) {
    const std::vector<std::string> appeared = appearedSince(before);
    if (appeared.empty()) return {PORT_WAIT, ""};
    return {appeared.size() == 1 ? PORT_CHOSEN : PORT_WHICH, appeared[0]};
  }
  const std::string typed = Trimmed(*answer);
  if (typed.empty()) {
    std::vector<std::string> candidates = appearedSince(shown);
    if (candidates.empty()) candidates = now;
    if (candidates.size() != 1) return {PORT_WHICH, ""};
    return {PORT_CHOSEN, candidates[0]};
  }
  // No device of /dev is named by digits alone, and COMn has its letters: digits are the list's.
  if (typed.find_first_not_of("0123456789") != std::string::npos) return {PORT_TYPED, typed};
  const size_t number = typed.size() <= 3 ? std::stoul(typed) : 0;
  if (number < 1 || number > shown.size()) return {PORT_NOT_LISTED, ""};
  return {PORT_CHOSEN, shown[number - 1]};
}

bool ReadKnob(const char* line, int* knob, int* percent) {
  if (!IsReading(line)) return false;
  const Reading reading = DecodeReading(line);
  *knob = reading.channel;
  *percent = static_cast<int>((reading.volume * 100 + VOLUME_SCALE_TOP / 2) / VOLUME_SCALE_TOP);
  return true;
}

bool ParseKnobLines(const std::string& typed, int32_t lineCount, std::string* lines,
                    std::string* reason) {
  std::vector<std::string> knobs;
  for (size_t start = typed.find_first_not_of(" \t"); start != std::string::npos;
       start = typed.find_first_not_of(" \t", start)) {
    const size_t end = std::min(typed.find_first_of(" \t", start), typed.size());
    const std::string word = typed.substr(start, end - start);
    start = end;
    if (word == "x" || word == "X") {
      knobs.push_back("x");
      continue;
    }
    const bool number =
        word.size() <= 9 && word.find_first_not_of("0123456789") == std::string::npos;
    if (!number || atol(word.c_str()) >= lineCount) {
      *reason = word + " is not a line of the list: the lines are 0 to " +
                std::to_string(lineCount - 1) + ", or x for none.";
      return false;
    }
    knobs.push_back(std::to_string(atol(word.c_str())));
  }
  while (!knobs.empty() && knobs.back() == "x") knobs.pop_back();
  if (knobs.empty()) {
    *reason = "No knob has a line.";
    return false;
  }
  if (knobs.size() > static_cast<size_t>(CHANNEL_COUNT)) {
    *reason = "The box has six knobs, 0 to 5: more lines than that were given.";
    return false;
  }
  lines->clear();
  for (const std::string& knob : knobs) *lines += (lines->empty() ? "" : " ") + knob;
  return true;
}

int RunSetup(int argc, char** argv) {
  const char* program = platform::SetupProgramName();
  int status = 0;
  if (argc <= 1) {
    status = RunDialogue();
  } else {
    status = RunArguments(program, argc, argv);
  }
  // A controller stopped for the port runs again, with whatever settings are kept now.
  if (controllerStopped) platform::StartController();
  return status;
}
