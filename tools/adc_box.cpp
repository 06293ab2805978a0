// adc-box: the ADC box without the hardware. Sends readings the way the box's firmware does,
// one decimal line per sample, R = channel * 1024 + adc ended by a line feed, to a serial port
// or a pseudo-terminal, or to a pseudo-terminal of its own whose other end Knobvane opens.
// Paced like the box's 115200-baud line unless told otherwise. Used by the demo, the
// integration tests and the benchmarks; a plain POSIX program, apart from the rest.
#include <errno.h>
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/posix/clock.h"
#include "tools/box_port.h"
#include "tools/reading_text.h"

namespace {

const char USAGE[] =
    "Usage: adc-box [--rate N|line|max] [--hold] PORT READING...\n"
    "       adc-box [--rate N|line|max] [--hold] --pty LINK [READING...]\n"
    "Sends readings to Knobvane the way the ADC box does: one decimal line per sample,\n"
    "R = channel * 1024 + adc, ended by a line feed.\n"
    "\n"
    "PORT        a serial port or pseudo-terminal to write to, e.g. /dev/ttyUSB0\n"
    "--pty LINK  be a box on a new pseudo-terminal: its end to open is linked at LINK and\n"
    "            its path printed; before leaving, wait until the other end read everything\n"
    "READING     sent in the order given:\n"
    "              C:ADC     knob C (0-5) at ADC value ADC (0-1023), e.g. 2:512 sends 2560\n"
    "              C:P%      knob C at P percent of a full turn (0-100), e.g. 0:50%\n"
    "              C:A..B    knob C turned from A to B (values or percents), one reading\n"
    "                        per ADC step, e.g. 0:0..100%\n"
    "              -         readings from standard input, any number per line, until it\n"
    "                        ends; after each line prints \"taken\" once the other end of\n"
    "                        the box's own pseudo-terminal read them, else \"sent\"\n"
    "              any other word is sent as it is written: 5119, or garbage to test with\n"
    "--rate N    readings per second, 0.01 or more; \"line\" (the default) paces the\n"
    "            bytes like the box's 115200-baud 8N1 line, about 2300 readings a second;\n"
    "            \"max\" sends as fast as the port takes them\n"
    "--hold      after the readings stay plugged in (port open) until stopped\n"
    "-h, --help  this text\n"
    "\n"
    "Stopped by SIGINT or SIGTERM, it unplugs: the port closes and LINK is removed.\n"
    "Example: adc-box --pty /tmp/box --hold 0:100% & knobvane /tmp/box 1\n";

constexpr int CHANNELS = READING_KNOBS;
constexpr int ADC_TOP = READING_ADC_TOP;
constexpr long BITS_PER_SECOND = READING_BAUD;
constexpr long BITS_PER_BYTE = 10;  // 8N1: a start bit, eight data bits, a stop bit

// ---- Readings ---------------------------------------------------------------------------

// An ADC value, "512", or a percent of a full turn, "50%"; false when it is neither.
bool ParseLevel(const std::string& text, int* adc) {
  const bool percent = !text.empty() && text.back() == '%';
  const std::string digits = percent ? text.substr(0, text.size() - 1) : text;
  if (digits.empty() || digits.size() > 4 ||
      digits.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const int number = atoi(digits.c_str());
  if (percent) {
    if (number > 100) return false;
    *adc = (number * ADC_TOP + 50) / 100;  // to the nearest ADC step
  } else {
    if (number > ADC_TOP) return false;
    *adc = number;
  }
  return true;
}

// Appends the lines one word stands for; false, with a message, when a knob word is wrong.
bool AddWord(const std::string& word, std::vector<std::string>* lines, std::string* error) {
  const size_t colon = word.find(':');
  if (colon == std::string::npos) {
    lines->push_back(word + "\n");
    return true;
  }
  const std::string channelText = word.substr(0, colon);
  const std::string levels = word.substr(colon + 1);
  if (channelText.size() != 1 || channelText[0] < '0' || channelText[0] >= '0' + CHANNELS) {
    *error = "knob number must be 0 to 5 in \"" + word + "\"";
    return false;
  }
  const int channel = channelText[0] - '0';
  const size_t dots = levels.find("..");
  int from = 0;
  int to = 0;
  const bool valid =
      dots == std::string::npos
          ? ParseLevel(levels, &from) && ParseLevel(levels, &to)
          : ParseLevel(levels.substr(0, dots), &from) && ParseLevel(levels.substr(dots + 2), &to);
  if (!valid) {
    *error = "knob level must be 0 to 1023, or 0% to 100%, in \"" + word + "\"";
    return false;
  }
  const int step = to >= from ? 1 : -1;
  for (int adc = from;; adc += step) {
    lines->push_back(ReadingLine(channel, adc));
    if (adc == to) break;
  }
  return true;
}

// ---- Unplugging -------------------------------------------------------------------------

// The pseudo-terminal made by --pty; its link is removed whichever way the box goes away.
BoxPort boxPort;

void RemoveLink() { RemoveBoxPortLink(boxPort); }

// A stop is an unplug: the port closes with the process, and no call can be left waiting.
void Unplug(int) {
  RemoveLink();
  _exit(0);
}

void HandleStops() {
  struct sigaction action = {};
  action.sa_handler = Unplug;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  // A box started in the background of a script ignores Ctrl-C, as the shell meant it to.
  struct sigaction interrupt = {};
  sigaction(SIGINT, nullptr, &interrupt);
  if (interrupt.sa_handler != SIG_IGN) sigaction(SIGINT, &action, nullptr);
  // A reader of the answers that went away costs the answers, not the box.
  signal(SIGPIPE, SIG_IGN);
}

// ---- The port ---------------------------------------------------------------------------

struct Port {
  int fd = -1;
  int ownEnd = -1;  // with --pty: the end the reader opens, held so no hang-up loses data
};

bool OpenPort(const std::string& path, Port* port) {
  // Without O_NONBLOCK the open of a serial port waits for a carrier the line may never have.
  port->fd = open(path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (port->fd < 0) return false;
  fcntl(port->fd, F_SETFL, fcntl(port->fd, F_GETFL) & ~O_NONBLOCK);
  SetBoxLine(port->fd);
  return true;
}

bool MakePseudoTerminal(const std::string& link, Port* port) {
  if (!OpenBoxPort(link.c_str(), &boxPort)) return false;
  port->fd = boxPort.ours;
  port->ownEnd = boxPort.theirs;
  return true;
}

// Waits until the reader has taken every byte written to the box's own pseudo-terminal.
void AwaitReader(const Port& port) {
  if (port.ownEnd < 0) return;
  while (UnreadBytes(port.ownEnd) > 0) {
    const timespec pause = {0, 1000000};
    nanosleep(&pause, nullptr);
  }
}

// ---- Pacing -----------------------------------------------------------------------------

enum class Pace { LINE, RATE, MAX };

// Sends each line at its turn: the next one leaves when the line would have carried the last
// (LINE) or one period after it (RATE). Keeping a schedule, not sleeping a period after each
// write, holds the rate however long the writes take.
class Sender {
 public:
  Sender(const Port& port, Pace pace, double rate)
      : port_(port), pace_(pace), rate_(rate), nextNs_(posix::MonotonicNs()) {}

  bool Send(const std::string& line) {
    if (pace_ != Pace::MAX) posix::SleepUntilNs(nextNs_);
    if (!WriteAll(port_.fd, line.data(), line.size())) return false;
    const double seconds = pace_ == Pace::RATE
                               ? 1.0 / rate_
                               : static_cast<double>(line.size()) * BITS_PER_BYTE / BITS_PER_SECOND;
    Advance(seconds);
    return true;
  }

 private:
  void Advance(double seconds) {
    const int64_t nowNs = posix::MonotonicNs();
    // After a stall (a reader that stopped reading) the box starts afresh instead of
    // bursting to catch up.
    if (nowNs > nextNs_ + 1000000000) nextNs_ = nowNs;
    nextNs_ += static_cast<int64_t>(seconds * 1e9);
  }

  const Port& port_;
  Pace pace_;
  double rate_;
  int64_t nextNs_;  // on the monotonic clock
};

// ---- The program ------------------------------------------------------------------------

int Fail(const std::string& message, int status) {
  std::cerr << "adc-box: " << message << "\n";
  if (status == 2) std::cerr << "Try 'adc-box --help'.\n";
  return status;
}

bool SendAll(Sender* sender, const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    if (!sender->Send(line)) return false;
  }
  return true;
}

// Readings from standard input as they come, a line at a time, each line answered.
bool SendStandardInput(Sender* sender, const Port& port) {
  std::string text;
  while (std::getline(std::cin, text)) {
    std::istringstream words(text);
    std::string word;
    std::vector<std::string> lines;
    std::string error;
    bool valid = true;
    while (valid && words >> word) valid = AddWord(word, &lines, &error);
    if (!valid) {
      std::cerr << "adc-box: " << error << "\n";
      std::cout << "error" << std::endl;
      continue;
    }
    if (!SendAll(sender, lines)) return false;
    AwaitReader(port);
    std::cout << (port.ownEnd >= 0 ? "taken" : "sent") << std::endl;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Pace pace = Pace::LINE;
  double rate = 0;
  bool hold = false;
  bool ownPty = false;
  std::string target;
  int i = 1;
  for (; i < argc && argv[i][0] == '-' && argv[i][1] != '\0'; ++i) {
    const std::string option = argv[i];
    if (option == "-h" || option == "--help") {
      std::cout << USAGE;
      return 0;
    } else if (option == "--hold") {
      hold = true;
    } else if (option == "--rate" || option == "--pty") {
      if (i + 1 >= argc) return Fail(option + " needs a value", 2);
      const std::string value = argv[++i];
      if (option == "--pty") {
        ownPty = true;
        target = value;
      } else if (value == "line") {
        pace = Pace::LINE;
      } else if (value == "max") {
        pace = Pace::MAX;
      } else {
        char* end = nullptr;
        rate = strtod(value.c_str(), &end);
        if (end == value.c_str() || *end != '\0' || !(rate >= 0.01) || rate > 1e9) {
          return Fail("--rate takes a number from 0.01 to 1e9, \"line\" or \"max\"", 2);
        }
        pace = Pace::RATE;
      }
    } else if (option == "--") {
      ++i;
      break;
    } else {
      return Fail("unknown option " + option, 2);
    }
  }
  if (!ownPty) {
    if (i >= argc) return Fail("no port given", 2);
    target = argv[i++];
  }

  // Every word is checked before the port opens: a typo sends nothing at all.
  std::vector<std::vector<std::string>> batches(1);
  std::vector<bool> fromInput(1, false);
  for (; i < argc; ++i) {
    if (strcmp(argv[i], "-") == 0) {
      fromInput.back() = true;
      batches.emplace_back();
      fromInput.push_back(false);
      continue;
    }
    std::string error;
    if (!AddWord(argv[i], &batches.back(), &error)) return Fail(error, 2);
  }
  if (!ownPty && !hold && batches.size() == 1 && batches[0].empty()) {
    return Fail("no readings given", 2);
  }

  HandleStops();
  Port port;
  if (ownPty) {
    if (!MakePseudoTerminal(target, &port)) {
      const int error = errno;
      RemoveLink();
      return Fail("cannot make a pseudo-terminal at " + target + ": " + strerror(error), 1);
    }
    std::cout << boxPort.path << std::endl;
  } else if (!OpenPort(target, &port)) {
    return Fail("cannot open " + target + ": " + strerror(errno), 1);
  }

  Sender sender(port, pace, rate);
  bool ok = true;
  for (size_t batch = 0; ok && batch < batches.size(); ++batch) {
    ok = SendAll(&sender, batches[batch]);
    if (ok && fromInput[batch]) ok = SendStandardInput(&sender, port);
  }
  if (!ok) {
    const int error = errno;
    RemoveLink();
    return Fail("the port stopped taking readings: " + std::string(strerror(error)), 1);
  }
  if (hold) {
    for (;;) pause();
  }
  // Unplugging a pseudo-terminal drops what its reader has not taken yet.
  AwaitReader(port);
  RemoveLink();
  return 0;
}
