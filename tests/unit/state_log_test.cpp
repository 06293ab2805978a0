// Knobvane's log on Windows is kept small by one rule of plain C++, tested here.
#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <vector>

#include "platform/controller_services.h"

namespace {

// The rule on a buffer of the cap's size and one byte, as the Windows program holds its log.
std::string AppendCapped(const std::string& log, const std::string& entry, size_t cap) {
  std::vector<char> buffer(std::max(cap, log.size()) + 1);
  log.copy(buffer.data(), log.size());
  return std::string(buffer.data(), platform::AppendCapped(buffer.data(), log.size(), entry.data(),
                                                           entry.size(), cap));
}

TEST(StateLog, DropsTheOldestWholeLinesDownToHalfTheCap) {
  struct Row {
    const char *log, *entry;
    size_t cap;
    const char* expected;
  } rows[] = {
      {"1111\n", "2222\n", 10, "1111\n2222\n"},  // exactly the cap
      {"111\n222\n333\n444\n555\n", "666\n", 20, "555\n666\n"},
      {"111\n22", "333\n", 100, "111\n22\n333\n"},  // a line cut short stays one
      {"111\n", "0123456789ab\n", 10, "01234"},     // longer than half the cap: cut
  };
  for (const Row& row : rows) {
    EXPECT_EQ(AppendCapped(row.log, row.entry, row.cap), row.expected) << row.log;
  }
  // Many lines of many lengths: always within the cap, whole lines, the newest last.
  std::string log;
  for (int i = 0; i < 2000; ++i) {
    const std::string entry = "line " + std::to_string(i) + std::string(i % 37, '.') + "\n";
    log = AppendCapped(log, entry, 1000);
    ASSERT_LE(log.size(), 1000u) << i;
    ASSERT_EQ(log.compare(log.size() - entry.size(), entry.size(), entry), 0) << i;
    ASSERT_EQ(log.compare(0, 5, "line "), 0) << i << ": " << log;
  }
}

}  // namespace
