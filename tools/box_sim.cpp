// box-sim: the box in a simulator. Runs the firmware image a board is flashed with in a
// simulation (simavr) of the chip the image was built for, its knobs and mute buttons worked from
// standard input, its serial line on a pseudo-terminal of its own that Knobvane opens like the
// board's USB serial port. In real time for Knobvane; in fast mode, simulated time advances only on
// request and every line the firmware sends is printed with its simulated time, for the scenario
// tests and the benchmarks; in real time it can print them too, with how far the simulation ran
// behind the clock, so that a benchmark can tell the firmware's time from the simulator's.
#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <poll.h>
#include <signal.h>
#include <simavr/avr_adc.h>
#include <simavr/avr_ioport.h>
#include <simavr/avr_uart.h>
#include <simavr/sim_avr.h>
#include <simavr/sim_elf.h>
#include <simavr/sim_irq.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "firmware/knobbox/box_pins.h"
#include "firmware/knobbox/reading_format.h"
#include "platform/posix/clock.h"
#include "tools/box_port.h"

namespace {

const char USAGE[] =
    "Usage: box-sim FIRMWARE.elf --link PATH [--realtime [--timing]|--fast] [--usb-frame US]\n"
    "Runs the box's firmware at 16 MHz (AVCC 5 V) in a simulation of the chip it was built for\n"
    "(ATmega328P, ATmega2560 or ATmega32U4, from the image); its serial line is a new\n"
    "pseudo-terminal linked at PATH, for Knobvane to open like the board's port. The\n"
    "ATmega32U4's serial line is USB, which the simulation lacks: that image sends nothing.\n"
    "\n"
    "--realtime  simulated time follows the clock (the default); standard input may end\n"
    "--timing    in real time, also print each line the firmware sends as \"sent MS READING\n"
    "            CLOCK_NS BEHIND_US\" and each knob set as \"set MS K ADC CLOCK_NS BEHIND_US\":\n"
    "            the simulated time in ms, the clock (CLOCK_MONOTONIC) when the line reached\n"
    "            the port or the command was read, and how far the simulation was behind\n"
    "            the clock then\n"
    "--fast      simulated time advances only with \"run\"; each line the firmware sends is\n"
    "            also printed on standard output after its simulated time in ms,\n"
    "            \"1234.567 2560\"; the end of standard input ends the simulation\n"
    "--usb-frame US  hand the port what the UART sent once every US simulated us (up to\n"
    "            64 bytes at a time), as a board's USB does: 1000 on an ATmega32U4 (its USB\n"
    "            frame), 4096 on an Uno's or Mega's ATmega16U2 (its flush timer). Without\n"
    "            it, or 0: each byte as it leaves the UART. Lines count and print when they\n"
    "            reach the port\n"
    "\n"
    "Commands on standard input, one a line:\n"
    "  knob K ADC   set knob K's input (0-5) to the voltage that reads ADC (0-1023)\n"
    "  noise N      add up to N counts of random noise to every conversion (0 for none)\n"
    "  button K     press knob K's mute button (0-5) for 50 simulated ms\n"
    "  run MS       let MS simulated milliseconds pass, then answer \"ok\"\n"
    "  conversions  answer \"conversions\" and the ADC conversions of each knob's input so far\n"
    "  lines        answer \"lines\" and how many lines reached the port so far\n"
    "  intervals    answer \"intervals\" and, for each knob's input, the longest simulated time\n"
    "               in us between two of its conversions since the last \"intervals\" (0: none)\n"
    "  reset        restart the chip, as a board does when DTR rises; this also happens\n"
    "               whenever the pseudo-terminal is opened anew\n"
    "  quit         stop (so do SIGINT and SIGTERM); PATH is removed\n";

constexpr uint32_t CPU_HZ = 16000000;
constexpr uint64_t CYCLES_PER_MS = CPU_HZ / 1000;
constexpr int AVCC_MILLIVOLTS = 5000;
constexpr int KNOBS = READING_KNOBS;
constexpr int ADC_TOP = READING_ADC_TOP;  // the ADC's 10 bits are the reading's
constexpr uint64_t BUTTON_PRESS_CYCLES = 50 * CYCLES_PER_MS;
// A full-speed USB bulk packet: a bridge holding this much sends it without waiting.
constexpr size_t USB_PACKET_BYTES = 64;
// How much longer a bridge's frame is than the chip's clock says, as a share of it: a frame's
// phase against the chip's goes round once every 2,048 frames (2 s of 1 ms frames).
constexpr uint64_t BRIDGE_DRIFT_SHARE = 2048;
// The pause between two runs of the simulation in real time: how late, at most, the firmware's
// bytes reach the port and a command reaches the chip, on an idle machine.
constexpr long REALTIME_PAUSE_US = 200;
// Behind the clock by more than this (a busy machine), real time starts over from now
// rather than racing to catch up.
constexpr uint64_t MOST_BEHIND_CYCLES = 100 * CYCLES_PER_MS;

volatile sig_atomic_t stopping = 0;
void Stop(int) { stopping = 1; }

struct Box {
  avr_t* avr = nullptr;
  const BoxPins* pins = nullptr;  // the image's chip's
  bool fast = false;
  BoxPort port;
  int terminal = -1;  // our end of the port
  std::string link;
  bool readerThere = false;          // whether anyone has the other end open
  int knobs[KNOBS] = {};             // each knob's ADC value
  uint64_t conversions[KNOBS] = {};  // started on each knob's input
  // When each knob's input was last converted (in Cycles(), 0: not since a restart), and the
  // longest interval between two of its conversions since the last "intervals".
  uint64_t convertedAt[KNOBS] = {};
  uint64_t longestInterval[KNOBS] = {};
  bool timing = false;
  // The clock and the cycle count that stand for the same moment, in real time.
  uint64_t paceStartNs = 0;
  uint64_t paceStartCycles = 0;
  int noise = 0;
  uint32_t random = 12345;  // fixed seed: the same commands give the same run
  uint64_t cyclesBeforeReset = 0;
  // When each button pressed goes up again (in Cycles()), or 0.
  uint64_t releaseAt[KNOBS] = {};
  std::string sending;          // the line the firmware is sending, for --fast's printout
  uint64_t linesDelivered = 0;  // ended while someone had the port open
  // --usb-frame: the bytes the UART sent since the last frame, handed over at the next.
  uint64_t frameCycles = 0;  // 0: each byte at once
  uint64_t nextFrameAt = 0;  // in Cycles()
  uint8_t held[USB_PACKET_BYTES] = {};
  size_t heldCount = 0;
};

Box box;

uint64_t Cycles() { return box.cyclesBeforeReset + box.avr->cycle; }

uint64_t ClockNs() { return static_cast<uint64_t>(posix::MonotonicNs()); }

// How far, in us, the simulation runs behind the clock in real time: the simulator runs in
// slices and the machine may keep it waiting, so a line may reach the port later than its
// simulated moment, and a command take effect at a simulated moment before it was read.
int64_t BehindUs(uint64_t clockNs) {
  const uint64_t simulatedNs = (Cycles() - box.paceStartCycles) * 1000000000u / CPU_HZ;
  return (static_cast<int64_t>(clockNs - box.paceStartNs) - static_cast<int64_t>(simulatedNs)) /
         1000;
}

// ---- The pseudo-terminal --------------------------------------------------------------------

// Whether the other end is open: while no one has it open, the kernel reports a hang-up on
// ours.
bool ReaderThere() {
  pollfd ours = {box.terminal, 0, 0};
  return poll(&ours, 1, 0) >= 0 && !(ours.revents & POLLHUP);
}

// Bytes for the port. Nothing is dropped while someone has the port open: we wait for room
// (the simulation waits meanwhile, as the firmware would see a slow line); with no one there,
// bytes go nowhere, as on a board whose port is closed.
void Send(const uint8_t* bytes, size_t count) {
  while (count > 0 && box.readerThere && !stopping) {
    ssize_t written = write(box.terminal, bytes, count);
    if (written > 0) {
      bytes += written;
      count -= static_cast<size_t>(written);
      continue;
    }
    if (written < 0 && errno != EAGAIN && errno != EINTR) return;
    pollfd ours = {box.terminal, POLLOUT, 0};
    poll(&ours, 1, 100);
    if (ours.revents & POLLHUP) box.readerThere = false;
  }
}

bool OpenTerminal() {
  if (!OpenBoxPort(box.link.c_str(), &box.port)) {
    fprintf(stderr, "box-sim: cannot make the port at %s: %s\n", box.link.c_str(), strerror(errno));
    return false;
  }
  // Their end closed at once: the port is there for Knobvane to open, and a hang-up on
  // ours then says whether anyone has it open.
  close(box.port.theirs);
  box.port.theirs = -1;
  box.terminal = box.port.ours;
  fcntl(box.terminal, F_SETFL, fcntl(box.terminal, F_GETFL) | O_NONBLOCK);
  return true;
}

// ---- The chip -------------------------------------------------------------------------------

// Bytes reach the port: each line that ends among them is counted and, in fast mode or with
// --timing, printed with the moment it got there.
void Deliver(const uint8_t* bytes, size_t count) {
  Send(bytes, count);
  for (size_t i = 0; i < count; ++i) {
    const uint8_t byte = bytes[i];
    if (byte == '\n' && box.readerThere) ++box.linesDelivered;
    if (!box.fast && !box.timing) continue;
    if (byte != '\n') {
      if (box.sending.size() < 64) box.sending += static_cast<char>(byte);
      continue;
    }
    const double ms = static_cast<double>(Cycles()) / CYCLES_PER_MS;
    if (box.fast) {
      printf("%.3f %s\n", ms, box.sending.c_str());
    } else {
      const uint64_t now = ClockNs();
      printf("sent %.3f %s %llu %lld\n", ms, box.sending.c_str(),
             static_cast<unsigned long long>(now), static_cast<long long>(BehindUs(now)));
    }
    box.sending.clear();
  }
}

void HandOverFrame() {
  Deliver(box.held, box.heldCount);
  box.heldCount = 0;
}

void OnUartByte(avr_irq_t*, uint32_t value, void*) {
  const uint8_t byte = static_cast<uint8_t>(value);
  if (box.frameCycles == 0) return Deliver(&byte, 1);
  box.held[box.heldCount++] = byte;
  if (box.heldCount == USB_PACKET_BYTES) HandOverFrame();
}

// The frames come on the bridge's own clock, whatever the firmware does; a crystal of its own,
// which drifts against the chip's, so that a line's bytes fall at every point of a frame in turn
// rather than always at the same.
void HandOverFramesDue() {
  if (box.frameCycles == 0 || Cycles() < box.nextFrameAt) return;
  if (box.heldCount > 0) HandOverFrame();
  const uint64_t period = box.frameCycles + box.frameCycles / BRIDGE_DRIFT_SHARE;
  box.nextFrameAt = (Cycles() / period + 1) * period;
}

// The millivolts that read exactly `adc`: the ADC truncates mV * 1023 / AVCC.
uint32_t Millivolts(int adc) { return (adc * AVCC_MILLIVOLTS + ADC_TOP - 1) / ADC_TOP; }

// A conversion starts: give its input the knob's voltage, with this conversion's noise.
void OnConversion(avr_irq_t*, uint32_t value, void*) {
  union {
    avr_adc_mux_t mux;
    uint32_t value;
  } started;
  started.value = value;
  if (started.mux.kind != ADC_MUX_SINGLE) return;
  int knob = 0;
  while (knob < KNOBS && box.pins->knobs[knob].adcChannel != started.mux.src) ++knob;
  if (knob == KNOBS) return;
  ++box.conversions[knob];
  const uint64_t now = Cycles();
  if (box.convertedAt[knob] != 0 && now - box.convertedAt[knob] > box.longestInterval[knob]) {
    box.longestInterval[knob] = now - box.convertedAt[knob];
  }
  box.convertedAt[knob] = now;
  int adc = box.knobs[knob];
  if (box.noise > 0) {
    box.random = box.random * 1103515245u + 12345u;
    adc += static_cast<int>((box.random >> 16) % (2 * box.noise + 1)) - box.noise;
    adc = adc < 0 ? 0 : adc > ADC_TOP ? ADC_TOP : adc;
  }
  avr_raise_irq(avr_io_getirq(box.avr, AVR_IOCTL_ADC_GETIRQ, ADC_IRQ_ADC0 + started.mux.src),
                Millivolts(adc));
}

// A button goes from its pin to GND: pressed reads low, released the pull-up's high.
void SetButton(int knob, bool pressed) {
  const ButtonPin& button = box.pins->buttons[knob];
  avr_raise_irq(
      avr_io_getirq(box.avr, AVR_IOCTL_IOPORT_GETIRQ(button.port), IOPORT_IRQ_PIN0 + button.bit),
      pressed ? 0 : 1);
}

// The chip forgets its pins' levels when it restarts, yet simavr passes on only a change of
// level: each goes the other way first. A button held goes on being held.
void SetButtons() {
  for (int knob = 0; knob < KNOBS; ++knob) {
    SetButton(knob, box.releaseAt[knob] == 0);
    SetButton(knob, box.releaseAt[knob] != 0);
  }
}

void ReleaseButtonsDue() {
  for (int knob = 0; knob < KNOBS; ++knob) {
    if (box.releaseAt[knob] != 0 && Cycles() >= box.releaseAt[knob]) {
      box.releaseAt[knob] = 0;
      SetButton(knob, false);
    }
  }
}

// The firmware never sleeps; if it did, simavr's default would sleep the process.
void NoSleep(avr_t*, avr_cycle_count_t) {}

// The UART's default flags echo its bytes to our standard output and sleep on polls.
void QuietUart() {
  uint32_t flags = 0;
  avr_ioctl(box.avr, AVR_IOCTL_UART_SET_FLAGS('0'), &flags);
}

// simavr's messages go to standard error, and only its errors: standard output carries
// the answers and, in fast mode, the lines sent.
void LogErrors(avr_t*, const int level, const char* format, va_list arguments) {
  if (level <= LOG_ERROR) vfprintf(stderr, format, arguments);
}

// The chip an image was built for, as avr-libc's startup code names it in every image: a note
// whose description holds six sizes, an offset table's length, the name's offset in the string
// table, and that table. "" when the image has no such note.
std::string ChipOfImage(const char* firmwarePath) {
  constexpr size_t STRINGS_AT = 8 * 4;
  constexpr size_t NAME_OFFSET_AT = 7 * 4;
  std::string chip;
  int fd = open(firmwarePath, O_RDONLY | O_CLOEXEC);
  if (fd < 0 || elf_version(EV_CURRENT) == EV_NONE) return chip;
  Elf* elf = elf_begin(fd, ELF_C_READ, nullptr);
  size_t sectionNames = 0;
  Elf_Scn* section = nullptr;
  while (elf != nullptr && elf_getshdrstrndx(elf, &sectionNames) == 0 && chip.empty() &&
         (section = elf_nextscn(elf, section)) != nullptr) {
    GElf_Shdr header;
    GElf_Nhdr note;
    size_t nameAt = 0, descriptionAt = 0;
    const char* name = gelf_getshdr(section, &header) != nullptr && header.sh_type == SHT_NOTE
                           ? elf_strptr(elf, sectionNames, header.sh_name)
                           : nullptr;
    Elf_Data* data = name != nullptr && strcmp(name, ".note.gnu.avr.deviceinfo") == 0
                         ? elf_getdata(section, nullptr)
                         : nullptr;
    if (data == nullptr || gelf_getnote(data, 0, &note, &nameAt, &descriptionAt) == 0 ||
        note.n_descsz <= STRINGS_AT || descriptionAt + note.n_descsz > data->d_size) {
      continue;
    }
    const unsigned char* description = static_cast<unsigned char*>(data->d_buf) + descriptionAt;
    const uint32_t offset = description[NAME_OFFSET_AT] | description[NAME_OFFSET_AT + 1] << 8 |
                            description[NAME_OFFSET_AT + 2] << 16 |
                            uint32_t{description[NAME_OFFSET_AT + 3]} << 24;
    const size_t strings = note.n_descsz - STRINGS_AT;
    if (offset < strings) {
      const char* text = reinterpret_cast<const char*>(description) + STRINGS_AT + offset;
      chip.assign(text, strnlen(text, strings - offset));
    }
  }
  if (elf != nullptr) elf_end(elf);
  close(fd);
  return chip;
}

bool MakeChip(const char* firmwarePath) {
  avr_global_logger_set(LogErrors);
  static elf_firmware_t firmware;
  if (elf_read_firmware(firmwarePath, &firmware) != 0 || firmware.flashsize == 0) {
    fprintf(stderr, "box-sim: cannot read the firmware %s\n", firmwarePath);
    return false;
  }
  const std::string chip = ChipOfImage(firmwarePath);
  for (const BoxChip& known : BOX_CHIPS) {
    if (chip == known.name) box.pins = known.pins;
  }
  if (box.pins == nullptr) {
    fprintf(stderr, "box-sim: the firmware %s is for no chip the box runs on (\"%s\")\n",
            firmwarePath, chip.c_str());
    return false;
  }
  box.avr = avr_make_mcu_by_name(chip.c_str());
  if (!box.avr) return false;
  avr_init(box.avr);
  avr_load_firmware(box.avr, &firmware);
  // Only after loading: the image would set them otherwise. With AVCC left 0 the ADC would
  // measure against 3.3 V.
  box.avr->frequency = CPU_HZ;
  box.avr->vcc = box.avr->avcc = box.avr->aref = AVCC_MILLIVOLTS;
  box.avr->sleep = NoSleep;
  QuietUart();
  SetButtons();
  // The sketch writes to Serial: UART 0 on the chips with one, USB on the ATmega32U4.
  avr_irq_t* sent = avr_io_getirq(box.avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUTPUT);
  if (sent != nullptr) {
    avr_irq_register_notify(sent, OnUartByte, nullptr);
  } else {
    fprintf(stderr,
            "box-sim: the %s's serial line is USB, which is not simulated: the firmware "
            "runs but sends nothing\n",
            chip.c_str());
  }
  avr_irq_register_notify(avr_io_getirq(box.avr, AVR_IOCTL_ADC_GETIRQ, ADC_IRQ_OUT_TRIGGER),
                          OnConversion, nullptr);
  return true;
}

// Says why on standard error: someone watching sees each connection restart the board.
void Reset(const char* why) {
  fprintf(stderr, "box-sim: the chip restarts: %s\n", why);
  uint64_t before = Cycles();
  avr_reset(box.avr);
  box.avr->sleep = NoSleep;
  QuietUart();
  SetButtons();
  box.cyclesBeforeReset = before - box.avr->cycle;
  box.sending.clear();
  // The firmware starts sampling anew: its pause to start is no interval of its sampling.
  for (uint64_t& at : box.convertedAt) at = 0;
}

// Runs the chip until the simulated cycle count reaches `until`; false when the firmware
// ended or crashed. Looks for a newly opened port once a simulated millisecond.
bool RunUntil(uint64_t until) {
  while (Cycles() < until && !stopping) {
    uint64_t step = Cycles() + CYCLES_PER_MS;
    while (Cycles() < step && Cycles() < until) {
      int state = avr_run(box.avr);
      if (state == cpu_Done || state == cpu_Crashed) {
        fprintf(stderr, "box-sim: the firmware stopped (state %d)\n", state);
        return false;
      }
      HandOverFramesDue();
    }
    ReleaseButtonsDue();
    bool there = ReaderThere();
    if (there && !box.readerThere) {
      // The board restarts when the port is opened (DTR rises): every open brings the
      // knobs' positions.
      box.readerThere = true;
      Reset("the port was opened");
    }
    box.readerThere = there;
  }
  return true;
}

// ---- Commands -------------------------------------------------------------------------------

enum class Command { DONE, RUN, QUIT };

bool Answer(const std::string& text) {
  printf("%s\n", text.c_str());
  return fflush(stdout) == 0;
}

// Carries out one command line; for "run", sets *ms. Bad commands are reported and skipped.
Command Execute(const std::string& line, uint64_t* ms) {
  char word[16] = "";
  long first = 0, second = 0;
  char extra = 0;
  int fields = sscanf(line.c_str(), "%15s %ld %ld %c", word, &first, &second, &extra);
  std::string name = word;
  if (fields <= 0) return Command::DONE;
  if (name == "knob" && fields == 3 && first >= 0 && first < KNOBS && second >= 0 &&
      second <= ADC_TOP) {
    box.knobs[first] = static_cast<int>(second);
    if (box.timing && !box.fast) {
      const uint64_t now = ClockNs();
      printf("set %.3f %ld %ld %llu %lld\n", static_cast<double>(Cycles()) / CYCLES_PER_MS, first,
             second, static_cast<unsigned long long>(now), static_cast<long long>(BehindUs(now)));
    }
  } else if (name == "noise" && fields == 2 && first >= 0 && first <= ADC_TOP) {
    box.noise = static_cast<int>(first);
  } else if (name == "button" && fields == 2 && first >= 0 && first < KNOBS) {
    SetButton(static_cast<int>(first), true);
    box.releaseAt[first] = Cycles() + BUTTON_PRESS_CYCLES;
  } else if (name == "run" && fields == 2 && first >= 0 && first <= 24L * 3600 * 1000) {
    *ms = static_cast<uint64_t>(first);
    return Command::RUN;
  } else if (name == "conversions" && fields == 1) {
    // Shows that a board which sends nothing here (USB) still samples the knobs it should.
    std::string answer = "conversions";
    for (uint64_t count : box.conversions) answer += " " + std::to_string(count);
    Answer(answer);
  } else if (name == "lines" && fields == 1) {
    // What a benchmark divides the controller's and the server's work by.
    Answer("lines " + std::to_string(box.linesDelivered));
  } else if (name == "intervals" && fields == 1) {
    // Shows how often each knob is sampled, on a board that sends nothing here too.
    std::string answer = "intervals";
    for (uint64_t& longest : box.longestInterval) {
      answer += " " + std::to_string(longest * 1000000u / CPU_HZ);
      longest = 0;
    }
    Answer(answer);
  } else if (name == "reset" && fields == 1) {
    Reset("asked to");
  } else if (name == "quit" && fields == 1) {
    return Command::QUIT;
  } else {
    fprintf(stderr, "box-sim: not a command: %s\n", line.c_str());
  }
  return Command::DONE;
}

// Standard input, a line at a time, without blocking the simulation.
struct Input {
  std::string pending;
  bool ended = false;

  // Takes one complete line if there is one.
  bool Line(std::string* line) {
    size_t end = pending.find('\n');
    if (end == std::string::npos) {
      if (!ended || pending.empty()) return false;
      end = pending.size();
    }
    *line = pending.substr(0, end);
    pending.erase(0, end + 1);
    return true;
  }

  // Waits up to timeoutUs for input (-1: until some comes) and reads what is there.
  void Read(long timeoutUs) {
    if (ended) return;
    pollfd in = {0, POLLIN, 0};
    timespec timeout = {timeoutUs / 1000000, timeoutUs % 1000000 * 1000};
    if (ppoll(&in, 1, timeoutUs < 0 ? nullptr : &timeout, nullptr) <= 0) return;
    char bytes[4096];
    ssize_t count = read(0, bytes, sizeof bytes);
    if (count > 0) {
      pending.append(bytes, static_cast<size_t>(count));
    } else if (count == 0 || errno != EINTR) {
      ended = true;
    }
  }
};

int RunFast() {
  Input input;
  std::string line;
  while (!stopping) {
    if (!input.Line(&line)) {
      if (input.ended) return 0;
      input.Read(-1);
      continue;
    }
    uint64_t ms = 0;
    Command command = Execute(line, &ms);
    if (command == Command::QUIT) return 0;
    if (command == Command::RUN) {
      if (!RunUntil(Cycles() + ms * CYCLES_PER_MS)) return 1;
      if (!Answer("ok")) return 1;
    }
  }
  return 0;
}

int RunRealtime() {
  Input input;
  std::string line;
  box.paceStartNs = ClockNs();
  box.paceStartCycles = Cycles();
  uint64_t runUntil = 0;  // a "run" waiting for its time, or 0
  while (!stopping) {
    while (runUntil == 0 && input.Line(&line)) {
      uint64_t ms = 0;
      Command command = Execute(line, &ms);
      if (command == Command::QUIT) return 0;
      if (command == Command::RUN) runUntil = Cycles() + ms * CYCLES_PER_MS;
    }
    uint64_t due = box.paceStartCycles + (ClockNs() - box.paceStartNs) * CPU_HZ / 1000000000u;
    if (due > Cycles() + MOST_BEHIND_CYCLES) {
      box.paceStartNs = ClockNs();
      box.paceStartCycles = due = Cycles();
    }
    if (!RunUntil(due)) return 1;
    if (runUntil != 0 && Cycles() >= runUntil) {
      runUntil = 0;
      if (!Answer("ok")) return 1;
    }
    input.Read(REALTIME_PAUSE_US);
    if (input.ended) usleep(REALTIME_PAUSE_US);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const char* firmware = nullptr;
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    if (argument == "-h" || argument == "--help") {
      fputs(USAGE, stdout);
      return 0;
    } else if (argument == "--link" && i + 1 < argc) {
      box.link = argv[++i];
    } else if (argument == "--fast") {
      box.fast = true;
    } else if (argument == "--realtime") {
      box.fast = false;
    } else if (argument == "--timing") {
      box.timing = true;
    } else if (argument == "--usb-frame" && i + 1 < argc) {
      char* end = nullptr;
      const unsigned long us = strtoul(argv[++i], &end, 10);
      if (*end != 0 || us > 1000000) {
        fputs(USAGE, stderr);
        return 2;
      }
      box.frameCycles = us * CPU_HZ / 1000000;
    } else if (!firmware && argument[0] != '-') {
      firmware = argv[i];
    } else {
      fputs(USAGE, stderr);
      return 2;
    }
  }
  if (!firmware || box.link.empty()) {
    fputs(USAGE, stderr);
    return 2;
  }
  signal(SIGINT, Stop);
  signal(SIGTERM, Stop);
  signal(SIGPIPE, SIG_IGN);
  // Each timing line as it is made: a benchmark reads them while box-sim runs.
  if (box.timing) setvbuf(stdout, nullptr, _IOLBF, 0);
  if (!MakeChip(firmware)) return 1;
  if (!OpenTerminal()) return 1;
  int status = box.fast ? RunFast() : RunRealtime();
  RemoveBoxPortLink(box.port);
  return status;
}
