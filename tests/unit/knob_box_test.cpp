// The box's rules on the host: knob moves tick by tick, and the lines they must send.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "firmware/knobbox/knob_box.h"

namespace {

// As the board runs: a knob sampled about every millisecond, a tick every 4.
constexpr uint32_t SAMPLE_US = 1024;
constexpr int SAMPLES_PER_TICK = 4;
constexpr uint8_t SEED_SAMPLES = 16;

// The sketch's settings, with the refresh off unless a case asks for it; a button's level
// counts once it held for 5 ticks.
KnobBoxSettings Settings(uint8_t knobCount, uint16_t refreshTicks = 0) {
  return {knobCount, 3, 16, 5, 3, SAMPLES_PER_TICK * SAMPLE_US, refreshTicks, 5};
}

// Runs the ticks (each knob's ADC value per tick, the same for all of the tick's samples) as
// the sketch does: every knob seeded from the first tick's values, then each tick starting
// with the buttons and the port and going on with SAMPLES_PER_TICK rounds of the knobs.
// Returns every line sent as "tick:line", the transmit buffer always having room.
// `buttons` has a character a tick: '0' to '5' for that knob's button held down, '.' for
// none; `port` one too: '0' while no program has the port, '1' (or nothing) while one has.
std::vector<std::string> Lines(KnobBox& box, const std::vector<std::vector<uint16_t>>& ticks,
                               const std::string& buttons = "", const std::string& port = "",
                               uint32_t nowUs = 0) {
  std::vector<std::string> lines;
  auto take = [&](size_t tick) {
    char line[READING_LINE_BYTES];
    while (uint8_t length = box.TakeLine(line, 64)) {
      lines.push_back(std::to_string(tick) + ":" + std::string(line, length - 1));
      EXPECT_EQ(line[length - 1], '\n');
    }
  };
  for (uint8_t knob = 0; knob < box.KnobCount() && !ticks.empty(); ++knob) {
    const uint16_t adc = knob < ticks[0].size() ? ticks[0][knob] : 0;
    box.KnobSampled(knob, static_cast<uint16_t>(adc * SEED_SAMPLES), SEED_SAMPLES, nowUs);
  }
  for (size_t tick = 0; tick < ticks.size(); ++tick) {
    char button = tick < buttons.size() ? buttons[tick] : '.';
    uint8_t down = button >= '0' && button <= '5' ? static_cast<uint8_t>(1u << (button - '0')) : 0;
    box.StartTick(down, tick >= port.size() || port[tick] == '1', nowUs);
    take(tick);
    for (int round = 0; round < SAMPLES_PER_TICK; ++round, nowUs += SAMPLE_US) {
      for (uint8_t knob = 0; knob < box.KnobCount(); ++knob) {
        box.KnobSampled(knob, knob < ticks[tick].size() ? ticks[tick][knob] : 0, 1, nowUs);
        take(tick);
      }
    }
  }
  return lines;
}

// One knob: `count` ticks at `from`, then moving 1 count every `ticksPerCount` ticks to `to`,
// then resting there; `noise` is added to the ticks in turn.
std::vector<std::vector<uint16_t>> Knob(int from, int to, int ticksPerCount, int count,
                                        std::vector<int> noise = {0}) {
  std::vector<std::vector<uint16_t>> ticks;
  int value = from;
  for (int tick = 0; tick < count; ++tick) {
    if (tick > 0 && ticksPerCount > 0 && tick % ticksPerCount == 0 && value != to) {
      value += to > value ? 1 : -1;
    }
    int noisy = value + noise[tick % noise.size()];
    ticks.push_back({static_cast<uint16_t>(noisy < 0 ? 0 : noisy > 1023 ? 1023 : noisy)});
  }
  return ticks;
}

std::vector<std::vector<uint16_t>> Then(std::vector<std::vector<uint16_t>> first,
                                        const std::vector<std::vector<uint16_t>>& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

// "*" for a tick means any tick: what matters there is the order of the lines.
bool Matches(const std::vector<std::string>& lines, const std::vector<std::string>& expected) {
  if (lines.size() != expected.size()) return false;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& want = expected[i];
    if (want[0] == '*' ? lines[i].substr(lines[i].find(':')) != want.substr(1) : lines[i] != want) {
      return false;
    }
  }
  return true;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + " ";
  return text;
}

TEST(KnobBox, SendsWhatTheKnobsDo) {
  const std::vector<int> noise = {0, 2, -1, -2, 1, 2, 2, -2, -2, 0, 1};
  struct Case {
    const char* what;
    KnobBoxSettings settings;
    std::vector<std::vector<uint16_t>> ticks;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"every knob once at reset, near-ends exact, and nothing more while they rest",
       Settings(6),
       std::vector<std::vector<uint16_t>>(20, {0, 1023, 512, 3, 1020, 700}),
       {"0:0", "0:2047", "0:2560", "0:3072", "0:5119", "0:5820"}},
      {"no ramp from 0 after reset", Settings(1), Knob(700, 700, 0, 30), {"0:700"}},
      {"a resting knob's noise sends nothing",
       Settings(1),
       Knob(500, 500, 0, 500, noise),
       {"0:500"}},
      {"noise at the edge of the end's zone does not leave the end",
       Settings(1),
       Then(Knob(0, 0, 0, 5), Knob(6, 6, 0, 500, noise)),
       {"0:0"}},
      {"a knob coming to rest between two values settles",
       Settings(1),
       Then(Knob(490, 490, 0, 5), Knob(502, 502, 0, 500, noise)),
       {"0:490", "*:493", "*:497", "*:500", "*:503"}},
      {"a slow creep arrives at 0",
       Settings(1),
       Knob(30, 0, 10, 400),
       {"0:30", "*:27", "*:24", "*:21", "*:18", "*:15", "*:12", "*:9", "*:6", "*:0"}},
      {"a slow creep arrives at 1023",
       Settings(1),
       Knob(1000, 1023, 10, 400),
       {"0:1000", "*:1003", "*:1006", "*:1009", "*:1012", "*:1015", "*:1023"}},
      {"a brisk turn is sent in the tick it comes, exact at the ends",
       Settings(1),
       Then(Then(Knob(100, 100, 0, 5), Knob(1023, 1023, 0, 5)), Knob(2, 2, 0, 5)),
       {"0:100", "5:1023", "10:0"}},
      {"the other knobs stay quiet while one turns",
       Settings(3),
       Then(std::vector<std::vector<uint16_t>>(5, {300, 0, 800}),
            std::vector<std::vector<uint16_t>>(5, {300, 1023, 800})),
       {"0:300", "0:1024", "0:2848", "5:2047"}},
      // The refresh goes with the reading of the last sample, before the knob's move in the
      // same tick, which then waits for the gap.
      {"a refresh every 5 ticks, one knob at a time, one line per knob and tick",
       Settings(2, 5),
       Then(std::vector<std::vector<uint16_t>>(5, {100, 200}),
            std::vector<std::vector<uint16_t>>(11, {900, 200})),
       {"0:100", "0:1224", "5:100", "6:900", "10:1224", "15:900"}},
  };
  for (const Case& c : cases) {
    KnobBox box(c.settings);
    std::vector<std::string> lines = Lines(box, c.ticks);
    EXPECT_TRUE(Matches(lines, c.lines)) << c.what << ": sent " << Joined(lines);
  }
}

TEST(KnobBox, ReportsEveryKnobWhenAProgramOpensThePort) {
  const std::vector<std::vector<uint16_t>> resting(20, {300, 800});
  // Knob 0 turned briskly while no program has the port, and at rest once one has.
  const auto turned = Then(Then(std::vector<std::vector<uint16_t>>(4, {300, 800}),
                                std::vector<std::vector<uint16_t>>(3, {600, 800})),
                           std::vector<std::vector<uint16_t>>(13, {900, 800}));
  struct Case {
    const char* what;
    std::vector<std::vector<uint16_t>> ticks;
    std::string port;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"nothing while no program has the port", resting, "00000000000000000000", {}},
      {"every knob once it opens", resting, "00000111111111111111", {"5:300", "5:1824"}},
      {"at reset with the port open, as on a board that restarts when it opens",
       resting,
       "",
       {"0:300", "0:1824"}},
      {"knobs moved while it was closed send only their newest values",
       turned,
       "00000000001111111111",
       {"10:900", "10:1824"}},
      {"every opening again, nothing while closed in between",
       turned,
       "11111100000000111111",
       {"0:300", "0:1824", "4:600", "14:900", "14:1824"}},
  };
  for (const Case& c : cases) {
    KnobBox box(Settings(2));
    std::vector<std::string> lines = Lines(box, c.ticks, "", c.port);
    EXPECT_TRUE(Matches(lines, c.lines)) << c.what << ": sent " << Joined(lines);
  }
}

TEST(KnobBox, MuteButtonsToggleBetweenSilenceAndTheKnob) {
  const std::vector<std::vector<uint16_t>> resting(40, {500, 700});
  // Knob 0 turned to 800 at tick 15, knob 1 resting.
  const auto turned = Then(std::vector<std::vector<uint16_t>>(15, {500, 700}),
                           std::vector<std::vector<uint16_t>>(25, {800, 700}));
  struct Case {
    const char* what;
    std::vector<std::vector<uint16_t>> ticks;
    std::string buttons;
    std::string port;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"a press mutes and the next unmutes; a release does nothing, nor a button held",
       resting,
       ".....00000000..........00000000000000000",
       "",
       {"0:500", "0:1724", "9:0", "27:500"}},
      {"contacts bouncing for less than 5 ticks count as one press",
       resting,
       ".....0.0.00.0000000.0.0.0...............",
       "",
       {"0:500", "0:1724", "16:0"}},
      {"a knob turned while muted stays silent, then sends where it is now",
       turned,
       ".....00000...............00000..........",
       "",
       {"0:500", "0:1724", "9:0", "29:800"}},
      {"each knob's own button",
       resting,
       ".....11111..........00000...............",
       "",
       {"0:500", "0:1724", "9:1024", "24:0"}},
      {"a muted knob reports silence when the port opens",
       resting,
       ".....00000..............................",
       "11111111111111100000111111111111111111111",
       {"0:500", "0:1724", "9:0", "20:0", "20:1724"}},
  };
  for (const Case& c : cases) {
    KnobBox box(Settings(2));
    std::vector<std::string> lines = Lines(box, c.ticks, c.buttons, c.port);
    EXPECT_TRUE(Matches(lines, c.lines)) << c.what << ": sent " << Joined(lines);
  }
}

// A tick in a timed run: the buttons and the port are read there.
constexpr uint16_t TICK = 0xFFFF;

// One knob's samples at the times given, the first as the seed (then the report); a TICK
// for the adc is a tick at that time instead. Returns every line as "us:line".
std::vector<std::string> TimedLines(const std::vector<std::pair<uint32_t, uint16_t>>& samples) {
  KnobBox box(Settings(1));
  std::vector<std::string> lines;
  for (size_t i = 0; i < samples.size(); ++i) {
    const uint32_t us = samples[i].first;
    const uint16_t adc = samples[i].second;
    if (i == 0) {
      box.KnobSampled(0, static_cast<uint16_t>(adc * SEED_SAMPLES), SEED_SAMPLES, us);
      box.StartTick(0, true, us);
    } else if (adc == TICK) {
      box.StartTick(0, true, us);
    } else {
      box.KnobSampled(0, adc, 1, us);
    }
    char line[READING_LINE_BYTES];
    while (uint8_t length = box.TakeLine(line, 64)) {
      lines.push_back(std::to_string(us) + ":" + std::string(line, length - 1));
    }
  }
  return lines;
}

TEST(KnobBox, SendsAMoveAtOnceAndThenAKnobAtMostOnceAGap) {
  const uint32_t wrap = 0xFFFFFFFFu - 7295;  // 7,296 us before the clock wraps
  struct Case {
    const char* what;
    std::vector<std::pair<uint32_t, uint16_t>> samples;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"a move after rest goes with the sample that sees it",
       {{0, 300}, {1024, 300}, {50000, 700}, {51024, 700}},
       {"0:300", "50000:700"}},
      {"a knob turning on every sample: once a gap, each time its newest reading",
       {{0, 100},
        {10000, 200},
        {11000, 300},
        {12000, 400},
        {14000, 500},
        {15000, 600},
        {16000, 700}},
       {"0:100", "10000:200", "15000:600"}},
      {"a turn that stops within the gap lands as the gap ends",
       {{0, 100}, {10000, 200}, {11000, 300}, {13000, 300}, {14095, 300}, {14096, 300}},
       {"0:100", "10000:200", "14096:300"}},
      {"the report holds the knob back too",
       {{0, 100}, {1000, 700}, {4095, 700}, {4096, 700}},
       {"0:100", "4096:700"}},
      {"the gap is kept across the clock's wrap",
       {{wrap, 100}, {wrap + 6000, 700}, {1000, 300}, {2800, 300}},
       {std::to_string(wrap) + ":100", std::to_string(wrap + 6000) + ":700", "2800:300"}},
      // Without the ticks' forgetting, 71 minutes later the clock would read as 1 ms after
      // the line and hold the knob back.
      {"a gap long over is forgotten, however the clock wrapped since",
       {{0, 100}, {8192, TICK}, {1000, 700}},
       {"0:100", "1000:700"}},
  };
  for (const Case& c : cases) {
    const std::vector<std::string> lines = TimedLines(c.samples);
    EXPECT_EQ(lines, c.lines) << c.what << ": sent " << Joined(lines);
  }
}

TEST(KnobBox, ReportsOnlyKnobsSampledAndIgnoresSamplesWithoutConversions) {
  KnobBox box(Settings(2));
  char line[READING_LINE_BYTES];
  // The port opens before any conversion: a report of 0 would be a volume spike down.
  box.StartTick(0, true, 0);
  EXPECT_EQ(box.TakeLine(line, 64), 0);
  box.KnobSampled(0, 700 * SEED_SAMPLES, SEED_SAMPLES, 100);
  // A sum without conversions, or of more than a sum holds, is no sample at all.
  box.KnobSampled(1, 1000, 0, 100);
  box.KnobSampled(1, 65000, 65, 100);
  ASSERT_EQ(box.TakeLine(line, 64), 4);
  EXPECT_EQ(std::string(line, 4), "700\n");
  EXPECT_EQ(box.TakeLine(line, 64), 0);
  box.KnobSampled(1, 300 * SEED_SAMPLES, SEED_SAMPLES, 200);
  ASSERT_EQ(box.TakeLine(line, 64), 5);
  EXPECT_EQ(std::string(line, 5), "1324\n");
}

TEST(KnobBox, KeepsALineThatDoesNotFitPendingWithTheNewestReading) {
  KnobBox box(Settings(2));
  box.KnobSampled(0, 700 * SEED_SAMPLES, SEED_SAMPLES, 0);
  box.KnobSampled(1, 1000 * SEED_SAMPLES, SEED_SAMPLES, 0);
  box.StartTick(0, true, 0);
  char line[READING_LINE_BYTES];
  ASSERT_EQ(box.TakeLine(line, 64), 4);
  EXPECT_EQ(std::string(line, 4), "700\n");
  // "2024\n" does not fit four bytes: the knob waits.
  EXPECT_EQ(box.TakeLine(line, 0), 0);
  EXPECT_EQ(box.TakeLine(line, 4), 0);
  // The knob moved meanwhile, within the gap: its one line carries where it is now.
  box.KnobSampled(1, 100, 1, 1000);
  ASSERT_EQ(box.TakeLine(line, 64), 5);
  EXPECT_EQ(std::string(line, 5), "1124\n");
  EXPECT_EQ(box.TakeLine(line, 64), 0);
}

// Every line the box can send is its reading's decimal number; a reading beyond 4 digits
// (never a knob's) keeps to the line's 5 bytes.
TEST(ReadingFormat, WritesEveryReadingAsItsDecimalNumber) {
  for (uint8_t knob = 0; knob < READING_KNOBS; ++knob) {
    for (uint16_t adc = 0; adc <= READING_ADC_TOP; ++adc) {
      char line[READING_LINE_BYTES];
      const uint8_t length = FormatReadingLine(knob, adc, line);
      ASSERT_EQ(std::string(line, length), std::to_string(knob * 1024 + adc) + "\n");
    }
  }
  char line[READING_LINE_BYTES];
  EXPECT_EQ(std::string(line, FormatReadingLine(12, 345, line)), "2633\n");   // 12,633
  EXPECT_EQ(std::string(line, FormatReadingLine(63, 1023, line)), "5535\n");  // 65,535
}

}  // namespace
