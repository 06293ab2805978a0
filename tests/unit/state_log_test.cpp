// Knobvane's log on Windows is kept small by one rule of plain C++, tested here.
#include <gtest/gtest.h>

#include <string>

#include "platform/controller_services.h"

namespace {

TEST(StateLog, AppendsWithinTheCapAndDropsTheOldestLinesBeyondIt) {
  struct Row {
    const char* log;
    const char* entry;
    size_t cap;
    const char* expected;
  } rows[] = {
      {"", "a\n", 10, "a\n"},
      {"1111\n", "2222\n", 10, "1111\n2222\n"},  // exactly the cap
      // Past it: down to half the cap, whole lines only.
      {"111\n222\n333\n444\n555\n", "666\n", 20, "555\n666\n"},
      {"aa\nbb\ncc\n", "dd\n", 10, "dd\n"},
      // A line cut short stays a line of its own.
      {"111\n22", "333\n", 100, "111\n22\n333\n"},
      {"111\n22", "333\n", 9, "333\n"},
      // An entry longer than half the cap is all there is, cut to it.
      {"111\n", "0123456789ab\n", 10, "01234"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(platform::AppendCapped(row.log, row.entry, row.cap), row.expected)
        << row.log << " + " << row.entry << " within " << row.cap;
  }
}

TEST(StateLog, StaysWithinTheCapWithWholeLinesAndTheNewestLast) {
  const size_t cap = 1000;
  std::string log;
  for (int i = 0; i < 2000; ++i) {
    const std::string entry = "line " + std::to_string(i) + std::string(i % 37, '.') + "\n";
    log = platform::AppendCapped(log, entry, cap);
    ASSERT_LE(log.size(), cap) << "after line " << i;
    ASSERT_EQ(log.compare(log.size() - entry.size(), entry.size(), entry), 0) << i;
    ASSERT_EQ(log.compare(0, 5, "line "), 0) << "after line " << i << ", the log starts: " << log;
  }
}

}  // namespace
