// The setup's own rules: which lines from a port are the box's readings, and which lines a
// user may give the knobs.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "setup/setup.h"

namespace {

TEST(Setup, ReadsOnlyTheBoxsLinesAsKnobs) {
  struct Row {
    const char* line;
    bool reading;
    int knob, percent;
  } rows[] = {
      {"0", true, 0, 0},      {"1023", true, 0, 100},  {"2560\r", true, 2, 50},
      {"6143", true, 5, 100}, {"0512", true, 0, 50},   {"6144", false, 0, 0},  // knob 6
      {"", false, 0, 0},      {"junk", false, 0, 0},   {"12 ", false, 0, 0},
      {"-5", false, 0, 0},    {"+512", false, 0, 0},   {"99999", false, 0, 0},
      {"1\r\r", false, 0, 0}, {"AT+GMR", false, 0, 0},
  };
  for (const Row& row : rows) {
    int knob = -1, percent = -1;
    EXPECT_EQ(ReadKnob(row.line, &knob, &percent), row.reading) << row.line;
    if (!row.reading) continue;
    EXPECT_EQ(knob, row.knob) << row.line;
    EXPECT_EQ(percent, row.percent) << row.line;
  }
}

TEST(Setup, TakesTheKnobsLinesOnlyFromTheList) {
  struct Row {
    const char* typed;
    bool taken;
    const char* lines;  // as the controller takes them, or the reason given
  } rows[] = {
      {"1 x 3", true, "1 x 3"},
      {"  1\tx   3 ", true, "1 x 3"},
      {"x 05 x x", true, "x 5"},  // no x after the last line
      {"X 6", true, "x 6"},
      {"1 1 1 1 1 1", true, "1 1 1 1 1 1"},
      {"7", false, "7 is not a line of the list: the lines are 0 to 6, or x for none."},
      {"1 -1", false, "-1 is not a line"},
      {"3a", false, "3a is not a line"},
      {"99999999999", false, "99999999999 is not a line"},
      {"x x", false, "No knob has a line."},
      {"", false, "No knob has a line."},
      {"1 1 1 1 1 1 1", false, "The box has six knobs"},
  };
  for (const Row& row : rows) {
    std::string lines = "untouched", reason;
    EXPECT_EQ(ParseKnobLines(row.typed, 7, &lines, &reason), row.taken) << row.typed;
    const std::string said = row.taken ? lines : reason.substr(0, strlen(row.lines));
    EXPECT_EQ(said, row.lines) << row.typed;
  }
}

}  // namespace
