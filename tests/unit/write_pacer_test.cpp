// The pacing of a control's writes, driven as a mixer face drives it: a value handed over is
// offered a turn at once, a timer offers one at DueAt, and the server's answer comes a fixed
// time after each write and offers one too.
#include "platform/write_pacer.h"

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

constexpr int64_t MS = 1000000;

struct Change {
  int64_t atNs;
  int value;
};

struct Write {
  int64_t atNs;
  int value;
};

// Runs the changes through a pacer (writes of a burst at once after a pause) and a server that
// answers every write answerNs after it was sent; the writes the server got, in order.
std::vector<Write> Paced(int64_t intervalNs, int burst, int64_t answerNs,
                         const std::vector<Change>& changes) {
  WritePacer pacer(intervalNs, burst);
  std::vector<Write> writes;
  int newest = 0;
  int64_t answerAt = WritePacer::NEVER;
  size_t next = 0;
  const auto offer = [&](int64_t now) {
    if (pacer.TakeTurn(now)) {
      writes.push_back({now, newest});
      answerAt = now + answerNs;
    }
  };
  for (;;) {
    const int64_t changeAt = next < changes.size() ? changes[next].atNs : WritePacer::NEVER;
    const int64_t now = std::min({changeAt, answerAt, pacer.DueAt()});
    if (now == WritePacer::NEVER) break;
    if (now == answerAt) {
      pacer.Answered();
      answerAt = WritePacer::NEVER;
    }
    while (next < changes.size() && changes[next].atNs == now) {
      newest = changes[next++].value;
      pacer.Changed(now);
    }
    offer(now);
  }
  return writes;
}

std::string Text(const std::vector<Write>& writes) {
  std::string text;
  for (const Write& write : writes) {
    text += std::to_string(write.atNs / MS) + ":" + std::to_string(write.value) + " ";
  }
  return text;
}

TEST(WritePacer, WritesFirstChangesAtOnceThenAtMostOncePerInterval) {
  struct Row {
    const char* what;
    int64_t intervalMs;
    int burst;
    int64_t answerMs;
    std::vector<Change> changes;  // in ms here
    const char* writes;           // "ms:value ..."
  } rows[] = {
      {"one change goes at once", 20, 1, 1, {{5, 1}}, "5:1 "},
      {"a knob turning every 4 ms: one write per interval, the last one landing",
       20,
       1,
       1,
       {{0, 1}, {4, 2}, {8, 3}, {12, 4}, {16, 5}, {20, 6}, {24, 7}, {28, 8}},
       "0:1 20:6 40:8 "},
      {"a change after a pause goes at once",
       20,
       1,
       1,
       {{0, 1}, {4, 2}, {100, 3}},
       "0:1 20:2 100:3 "},
      // The pause counts from the last change, not from the last write.
      {"a change an interval after the last change goes at once, though the last write was sooner",
       20,
       1,
       1,
       {{0, 1}, {4, 2}, {35, 3}},
       "0:1 20:2 35:3 "},
      {"a change within an interval of the last change waits for its turn",
       20,
       1,
       1,
       {{0, 1}, {4, 2}, {22, 3}},
       "0:1 20:2 40:3 "},
      {"a slow answer holds the next write back beyond the interval",
       20,
       1,
       50,
       {{0, 1}, {4, 2}, {8, 3}},
       "0:1 50:3 "},
      // Neither the answer nor the interval's end sends anything when nothing changed.
      {"nothing written again without a change", 20, 1, 1, {{0, 1}, {30, 2}}, "0:1 30:2 "},
      {"no interval: every value goes once the last is answered",
       0,
       1,
       1,
       {{0, 1}, {0, 2}, {3, 3}, {3, 4}, {10, 5}},
       "0:2 3:4 10:5 "},
      {"a knob let go after a pause: its few lines go at once, then one per interval",
       20,
       3,
       1,
       {{0, 1}, {4, 2}, {8, 3}, {12, 4}, {16, 5}, {20, 6}, {24, 7}, {28, 8}},
       "0:1 4:2 8:3 20:6 40:8 "},
      // Credit comes back one write an interval, up to the burst, while the knob keeps moving...
      {"after a pause shorter than an interval only part of the burst is back",
       20,
       3,
       1,
       {{0, 1}, {1, 2}, {2, 3}, {15, 4}, {16, 5}, {17, 6}, {40, 7}},
       "0:1 1:2 2:3 20:6 40:7 "},
      // ...and all of it once the knob rested an interval: each move of a knob moved in steps
      // is heard at once.
      {"after a pause of an interval the whole burst is back",
       20,
       3,
       1,
       {{0, 1}, {1, 2}, {2, 3}, {22, 4}, {23, 5}, {24, 6}},
       "0:1 1:2 2:3 22:4 23:5 24:6 "},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::vector<Change> changes = row.changes;
    for (Change& change : changes) change.atNs *= MS;
    EXPECT_EQ(Text(Paced(row.intervalMs * MS, row.burst, row.answerMs * MS, changes)), row.writes);
  }
}

// Knobs turned at random, in bursts and pauses: whatever the timing, the values written keep
// the order they came in, the last one lands no later than an interval or an answer after its
// change, one write waits for the answer to the one before, and over any stretch of time in
// which the knob never rested an interval, no more than the burst and one write an interval go.
TEST(WritePacer, KeepsOrderAndLandsTheLastValueWhateverTheTiming) {
  std::mt19937 random(33);
  for (int run = 0; run < 200; ++run) {
    SCOPED_TRACE(run);
    const int64_t intervalNs = std::uniform_int_distribution<int64_t>(0, 30)(random) * MS;
    const int burst = std::uniform_int_distribution<int>(1, 4)(random);
    const int64_t answerNs = std::uniform_int_distribution<int64_t>(0, 40)(random) * MS / 4;
    std::vector<Change> changes;
    int64_t at = 0;
    for (int value = 1; value <= 300; ++value) {
      at += random() % 8 == 0 ? std::uniform_int_distribution<int64_t>(0, 200)(random) * MS
                              : std::uniform_int_distribution<int64_t>(0, 5000)(random) * 1000;
      changes.push_back({at, value});
    }
    const std::vector<Write> writes = Paced(intervalNs, burst, answerNs, changes);
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.back().value, 300);
    EXPECT_LE(writes.back().atNs, changes.back().atNs + std::max(intervalNs, answerNs));
    // Whether the knob rested an interval before a change made after `fromNs` and by `toNs`.
    const auto restedBetween = [&](int64_t fromNs, int64_t toNs) {
      for (size_t c = 1; c < changes.size(); ++c) {
        if (changes[c].atNs > fromNs && changes[c].atNs <= toNs &&
            changes[c].atNs - changes[c - 1].atNs >= intervalNs) {
          return true;
        }
      }
      return false;
    };
    for (size_t i = 1; i < writes.size(); ++i) {
      EXPECT_GT(writes[i].value, writes[i - 1].value);
      EXPECT_GE(writes[i].atNs - writes[i - 1].atNs, answerNs);
      // Writes i - 1 .. j, more than the burst, span at least an interval each beyond it.
      for (size_t j = i - 1 + burst; j < writes.size() && j < i + 8; ++j) {
        if (restedBetween(writes[i - 1].atNs, writes[j].atNs)) break;
        EXPECT_GE(writes[j].atNs - writes[i - 1].atNs,
                  static_cast<int64_t>(j - (i - 1) - burst + 1) * intervalNs);
      }
    }
  }
}

// The setting the benchmarks weigh intervals with: anything but a plain number of microseconds
// in range leaves the interval as shipped.
TEST(WritePacer, TakesOnlyAPlainIntervalInRangeFromItsSetting) {
  const struct {
    const char* text;
    int64_t ns;
  } rows[] = {
      {"20000", 20 * MS},
      {"0", 0},
      {"1000000", 1000 * MS},
      {nullptr, WritePacer::WRITE_INTERVAL_NS},
      {"", WritePacer::WRITE_INTERVAL_NS},
      {"1000001", WritePacer::WRITE_INTERVAL_NS},
      {"-5", WritePacer::WRITE_INTERVAL_NS},
      {" 5", WritePacer::WRITE_INTERVAL_NS},
      {"5ms", WritePacer::WRITE_INTERVAL_NS},
      {"99999999999999999999999", WritePacer::WRITE_INTERVAL_NS},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text == nullptr ? "(none)" : row.text);
    EXPECT_EQ(WriteIntervalNsFrom(row.text), row.ns);
  }
}

}  // namespace
