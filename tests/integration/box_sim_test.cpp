// The box's firmware images in the simulator (box-sim --fast): knob scenarios in simulated
// time, checked on the lines the firmware sends and the simulated time they leave at, on each
// board whose serial line the simulator has (the Uno's and the Mega's); the ATmega32U4's
// image, whose serial line is USB, only samples its knobs there.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace {

struct Sent {
  double ms;  // simulated time the line left
  int knob;
  int adc;
};

// box-sim in fast mode on a pseudo-terminal in a temporary folder of its own.
class BoxSim {
 public:
  explicit BoxSim(const std::string& image, const std::string& usbFrameUs = "0") {
    char folder[] = "/tmp/knobvane-box-sim-XXXXXX";
    folder_ = mkdtemp(folder);
    std::string link = folder_ + "/box";
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    pid_ = support::Spawn({BOX_SIM, image, "--link", link, "--fast", "--usb-frame", usbFrameUs},
                          in[0], out[1]);
    close(in[0]);
    close(out[1]);
    commands_ = in[1];
    answers_ = out[0];
  }

  ~BoxSim() {
    Command("quit");
    close(commands_);
    close(answers_);
    // It ends on "quit"; one that does not within the deadline is stopped.
    support::AwaitOrKill(pid_, 10);
    rmdir(folder_.c_str());
  }

  void Command(const std::string& command) {
    std::string line = command + "\n";
    ASSERT_EQ(write(commands_, line.data(), line.size()), static_cast<ssize_t>(line.size()));
  }

  void Knob(int knob, int adc) {
    Command("knob " + std::to_string(knob) + " " + std::to_string(adc));
  }

  // Lets `ms` simulated milliseconds pass; every line sent meanwhile goes into `sent`.
  void Run(int ms) {
    Command("run " + std::to_string(ms));
    now += ms;
    std::string line;
    while (ReadLine(&line) && line != "ok") {
      Sent s;
      int reading;
      ASSERT_EQ(sscanf(line.c_str(), "%lf %d", &s.ms, &reading), 2) << line;
      s.knob = reading / 1024;
      s.adc = reading % 1024;
      sent.push_back(s);
    }
    ASSERT_EQ(line, "ok") << "box-sim ended";
  }

  // How many conversions the firmware made of each knob's input so far.
  std::vector<long> Conversions() {
    Command("conversions");
    std::string line;
    std::vector<long> counts;
    if (!ReadLine(&line) || line.rfind("conversions", 0) != 0) return counts;
    char* at = &line[sizeof "conversions" - 1];
    for (char* end = at;; at = end) {
      const long count = strtol(at, &end, 10);
      if (end == at) break;
      counts.push_back(count);
    }
    return counts;
  }

  // Each knob's longest simulated time between two conversions of its input since the last
  // ask, in ms; empty when box-sim did not answer.
  std::vector<double> Intervals() {
    Command("intervals");
    std::string line;
    std::vector<double> intervals;
    if (!ReadLine(&line) || line.rfind("intervals", 0) != 0) return intervals;
    char* at = &line[sizeof "intervals" - 1];
    for (char* end = at;; at = end) {
      const long us = strtol(at, &end, 10);
      if (end == at) break;
      intervals.push_back(us / 1000.0);
    }
    return intervals;
  }

  // The lines of one knob, from the from-th line sent on.
  std::vector<Sent> Of(int knob, size_t from = 0) const {
    std::vector<Sent> lines;
    for (size_t i = from; i < sent.size(); ++i) {
      if (sent[i].knob == knob) lines.push_back(sent[i]);
    }
    return lines;
  }

  std::vector<Sent> sent;
  double now = 0;  // simulated ms, as the runs add up

 private:
  // One line of answer, waiting at most a minute for it; false when none came.
  bool ReadLine(std::string* line) {
    line->clear();
    for (;;) {
      size_t end = buffered_.find('\n');
      if (end != std::string::npos) {
        *line = buffered_.substr(0, end);
        buffered_.erase(0, end + 1);
        return true;
      }
      pollfd ready = {answers_, POLLIN, 0};
      if (poll(&ready, 1, 60 * 1000) <= 0) return false;
      char bytes[4096];
      ssize_t count = read(answers_, bytes, sizeof bytes);
      if (count <= 0) return false;
      buffered_.append(bytes, static_cast<size_t>(count));
    }
  }

  std::string folder_;
  pid_t pid_ = -1;
  int commands_ = -1;
  int answers_ = -1;
  std::string buffered_;
};

// A board's image, named for the tests' names.
struct Image {
  const char* board;
  const char* file;  // in the avr build's firmware folder
};

void PrintTo(const Image& image, std::ostream* out) { *out << image.board; }

class BoxImage : public ::testing::TestWithParam<Image> {
 protected:
  BoxSim box{std::string(FIRMWARE_DIR "/") + GetParam().file};
};

// Turns knob 0 from `from` to `to`, `step` counts every 5 ms, and returns when it stopped.
// With a step of 1 that is as slow as a hand turns a knob: the firmware samples each count.
double Turn(BoxSim& box, int from, int to, int step) {
  for (int adc = from; adc != to;) {
    adc = to > adc ? std::min(adc + step, to) : std::max(adc - step, to);
    box.Knob(0, adc);
    box.Run(5);
  }
  return box.now;
}

TEST_P(BoxImage, ReportsEveryKnobAtResetExactAtTheEndsWithoutRamp) {
  const int knobs[] = {0, 1023, 512, 2, 1021, 700};
  const int report[] = {0, 1023, 512, 0, 1023, 700};
  for (int knob = 0; knob < 6; ++knob) box.Knob(knob, knobs[knob]);
  box.Run(500);
  // The knob moved while the board was off: the report after a restart says where it is now.
  box.Knob(5, 300);
  box.Command("reset");
  box.Run(500);
  ASSERT_EQ(box.sent.size(), 12u);
  for (int i = 0; i < 12; ++i) {
    EXPECT_EQ(box.sent[i].knob, i % 6);
    EXPECT_EQ(box.sent[i].adc, i == 11 ? 300 : report[i % 6]) << "line " << i;
  }
}

TEST_P(BoxImage, RestingKnobsWithNoiseSendNothingAfterTheReport) {
  const int knobs[] = {9, 300, 511, 700, 1000, 1020};
  for (int knob = 0; knob < 6; ++knob) box.Knob(knob, knobs[knob]);
  box.Command("noise 2");
  box.Run(10000);
  // The report at reset, each knob where it rests give or take the noise, then silence: a
  // box that keeps sending keeps the computer awake.
  ASSERT_EQ(box.sent.size(), 6u);
  for (int knob = 0; knob < 6; ++knob) {
    EXPECT_EQ(box.sent[knob].knob, knob);
    EXPECT_LE(std::abs(box.sent[knob].adc - std::min(knobs[knob], 1018)), 5) << "knob " << knob;
  }
}

TEST_P(BoxImage, AButtonMutesItsKnobAndThenBringsBackWhereItIs) {
  box.Knob(0, 600);
  box.Knob(1, 300);
  box.Run(200);
  size_t first = box.sent.size();
  struct Step {
    const char* what;
    const char* command;  // or nullptr
    int knob0;            // knob 0's position from then on
  };
  // The button is held for 50 ms; each step then runs 200 ms.
  const Step steps[] = {
      {"press: mute", "button 0", 600},
      {"turned while muted", nullptr, 800},
      {"press: unmute", "button 0", 800},
      {"press: mute again", "button 0", 800},
  };
  std::vector<double> pressedAt;
  for (const Step& step : steps) {
    box.Knob(0, step.knob0);
    if (step.command) {
      box.Command(step.command);
      pressedAt.push_back(box.now);
    }
    box.Run(200);
  }
  // Silence, then nothing while turned, then where the knob is now, then silence; a press
  // counts 20 ms after the contacts close by the board's clock, within a tick more; the other
  // knob sends nothing. The board's millisecond count moves in steps of 1.024 ms and catches
  // up by two at times, so its 20 ms may be 19 of the simulation's.
  std::vector<Sent> lines = box.Of(0, first);
  ASSERT_EQ(lines.size(), 3u);
  const int adcs[] = {0, 800, 0};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(lines[i].adc, adcs[i]) << "line " << i;
    EXPECT_GE(lines[i].ms, pressedAt[i] + 19) << "line " << i;
    EXPECT_LE(lines[i].ms, pressedAt[i] + 30) << "line " << i;
  }
  EXPECT_TRUE(box.Of(1, first).empty());
}

TEST_P(BoxImage, TurnsAndCreepsArriveExactlyAtTheEndsWithoutCrosstalk) {
  const int others[] = {0, 200, 400, 600, 800, 1000};
  for (int knob = 1; knob < 6; ++knob) box.Knob(knob, others[knob]);
  box.Command("noise 1");
  box.Run(100);
  struct Move {
    const char* what;
    int from, to, step;
  };
  const Move moves[] = {
      {"a sweep up", 0, 1023, 8},        {"a sweep down", 1023, 0, 8},
      {"a creep down", 25, 0, 1},        {"a creep up", 998, 1023, 1},
      {"a brisk turn up", 0, 1023, 300}, {"a brisk turn down", 1023, 0, 300},
  };
  for (const Move& move : moves) {
    box.Knob(0, move.from);
    box.Run(200);
    size_t first = box.sent.size();
    double stopped = Turn(box, move.from, move.to, move.step);
    box.Run(200);
    // The knob's lines since it started to move: they must end on the end itself, and the
    // first of the final run of it must leave within 50 ms of the knob stopping.
    std::vector<Sent> lines = box.Of(0, first);
    ASSERT_FALSE(lines.empty()) << move.what;
    EXPECT_EQ(lines.back().adc, move.to) << move.what;
    size_t arrived = lines.size() - 1;
    while (arrived > 0 && lines[arrived - 1].adc == move.to) --arrived;
    EXPECT_LE(lines[arrived].ms, stopped + 50) << move.what;
  }
  for (int knob = 1; knob < 6; ++knob) {
    std::vector<Sent> lines = box.Of(knob);
    ASSERT_FALSE(lines.empty());
    EXPECT_LE(std::abs(lines[0].adc - others[knob]), 1) << "knob " << knob;
    for (const Sent& s : lines) EXPECT_EQ(s.adc, lines[0].adc) << "knob " << knob;
  }
}

// A knob waits at most a round of the six knobs' conversions to be sampled again: its moves
// are seen within about a millisecond, not at the next tick.
void ExpectSampledWithoutPause(BoxSim& box) {
  const std::vector<double> intervals = box.Intervals();
  ASSERT_EQ(intervals.size(), 6u);
  for (int knob = 0; knob < 6; ++knob) {
    EXPECT_GT(intervals[knob], 0) << "knob " << knob;
    EXPECT_LT(intervals[knob], 1.5) << "knob " << knob;
  }
}

TEST_P(BoxImage, SendsAMoveAboutAMillisecondAfterItIsMade) {
  const int others[] = {0, 200, 400, 600, 800, 1000};
  for (int knob = 1; knob < 6; ++knob) box.Knob(knob, others[knob]);
  box.Knob(0, 300);
  box.Run(200);
  box.Intervals();
  // Moves 37 ms apart fall at every point of the knobs' round and of the 4 ms tick.
  std::vector<double> delays;
  for (int move = 0; move < 40; ++move) {
    const int adc = move % 2 ? 300 : 700;
    const double movedAt = box.now;
    const size_t first = box.sent.size();
    box.Knob(0, adc);
    box.Run(37);
    for (const Sent& s : box.Of(0, first)) {
      if (s.adc == adc) {
        delays.push_back(s.ms - movedAt);
        break;
      }
    }
  }
  ExpectSampledWithoutPause(box);
  // The time until the line feed of the move's line left the UART, on the simulated clock:
  // the wait for the knob's turn, its conversion, the rules and the line's 4 bytes.
  ASSERT_EQ(delays.size(), 40u);
  std::sort(delays.begin(), delays.end());
  EXPECT_LT(delays[19], 1.2);
  EXPECT_LT(delays.back(), 2.0);
  EXPECT_GT(delays.front(), 0.35);
}

TEST_P(BoxImage, AllSixKnobsTurningSendALineEachATickAtMost) {
  box.Run(100);
  size_t before = box.sent.size();
  // Each knob goes back and forth at its own pace, every millisecond a move well past the
  // deadband, several moves a tick.
  int adc[6] = {0, 100, 200, 300, 400, 500};
  int step[6] = {60, -70, 80, -90, 100, -110};
  for (int ms = 0; ms < 1000; ++ms) {
    for (int knob = 0; knob < 6; ++knob) {
      if (adc[knob] + step[knob] < 0 || adc[knob] + step[knob] > 1023) step[knob] = -step[knob];
      adc[knob] += step[knob];
      box.Knob(knob, adc[knob]);
    }
    box.Run(1);
  }
  // A knob keeps 4.096 ms between its lines: 245 a second at most, the six 1,465.
  size_t lines = box.sent.size() - before;
  EXPECT_GT(lines, 6u * 200);  // they were turning: most ticks send all six
  EXPECT_LE(lines, 6u * 245);
  for (int knob = 0; knob < 6; ++knob) EXPECT_LE(box.Of(knob, before).size(), 245u);
}

// Through a board's USB, the same lines come in the same order, each at the end of the frame
// it left the UART in: a 32U4's 1 ms frames, an Uno's 16U2 flushing every 4.096 ms.
TEST(BoxSim, HandsTheLinesOverInUsbFramesWhenAskedTo) {
  for (const int frameUs : {1000, 4096}) {
    SCOPED_TRACE(frameUs);
    BoxSim direct(FIRMWARE_DIR "/knobbox.elf");
    BoxSim framed(FIRMWARE_DIR "/knobbox.elf", std::to_string(frameUs));
    for (int move = 0; move < 60; ++move) {
      for (BoxSim* box : {&direct, &framed}) {
        box->Knob(move % 6, move % 2 ? 300 + move : 700 - move);
        box->Run(move % 7 + 1);
      }
    }
    ASSERT_EQ(framed.sent.size(), direct.sent.size());
    // The bridge's clock drifts by 1/2048 of a frame a frame against the chip's.
    const double period = frameUs / 1000.0 * (1 + 1.0 / 2048);
    size_t held = 0;  // lines that waited for the end of their frame
    for (size_t i = 0; i < direct.sent.size(); ++i) {
      EXPECT_EQ(framed.sent[i].knob * 1024 + framed.sent[i].adc,
                direct.sent[i].knob * 1024 + direct.sent[i].adc);
      EXPECT_GE(framed.sent[i].ms, direct.sent[i].ms);
      EXPECT_LT(framed.sent[i].ms, direct.sent[i].ms + period + 0.001);
      if (framed.sent[i].ms > direct.sent[i].ms + 0.01) ++held;
    }
    EXPECT_GT(held, direct.sent.size() * 9 / 10);
  }
}

std::string BoardOf(const ::testing::TestParamInfo<Image>& image) { return image.param.board; }

INSTANTIATE_TEST_SUITE_P(Boards, BoxImage,
                         ::testing::Values(Image{"Uno", "knobbox.elf"},
                                           Image{"Mega", "knobbox-mega.elf"}),
                         BoardOf);

// The simulator has no USB device, so the ATmega32U4 image cannot send; it must still sample
// every knob, without pause, on the analog input its board wires it to, and nothing else.
TEST(BoxSim, Atmega32u4ImageSamplesEveryKnobAndSendsNothingWithoutUsb) {
  BoxSim box(FIRMWARE_DIR "/knobbox-leonardo.elf");
  box.Run(50);
  box.Intervals();
  box.Run(50);
  ExpectSampledWithoutPause(box);
  const std::vector<long> conversions = box.Conversions();
  ASSERT_EQ(conversions.size(), 6u);
  // 17 for each knob's seed, then one a round of about a millisecond.
  for (int knob = 0; knob < 6; ++knob) EXPECT_GE(conversions[knob], 100) << "knob " << knob;
  EXPECT_TRUE(box.sent.empty());
}

}  // namespace
