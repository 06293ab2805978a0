// The setup's own rules: which port is the box's, which lines from a port are the box's
// readings, which lines a user may give the knobs, and what helps a user kept out of a port.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/posix/port_access.h"
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

TEST(Setup, ChoosesThePortThatAppearedOrTheOneAnswered) {
  const std::vector<std::string> printer = {"printer"}, both = {"box", "printer"}, none = {},
                                 three = {"box", "modem", "printer"};
  struct Row {
    const char* what;
    std::vector<std::string> shown, before, now;
    const char* answer;  // nullptr: nothing typed
    PortChoiceKind kind;
    const char* port;
  } rows[] = {
      {"nothing changed", printer, printer, printer, nullptr, PORT_WAIT, ""},
      {"the box plugged in beside the printer", printer, printer, both, nullptr, PORT_CHOSEN,
       "box"},
      {"the printer replugged", both, {"box"}, both, nullptr, PORT_CHOSEN, "printer"},
      {"a port gone", both, both, printer, nullptr, PORT_WAIT, ""},
      {"two appeared at once", none, none, both, nullptr, PORT_WHICH, ""},
      {"a number of the list", both, both, both, "2", PORT_CHOSEN, "printer"},
      {"a number with blanks", both, both, both, " 1 ", PORT_CHOSEN, "box"},
      {"a number of a port gone since", both, both, printer, "1", PORT_CHOSEN, "box"},
      {"a number beyond the list", both, both, both, "3", PORT_NOT_LISTED, ""},
      {"zero", both, both, both, "0", PORT_NOT_LISTED, ""},
      {"a huge number", both, both, both, "99999999999999999999", PORT_NOT_LISTED, ""},
      {"Enter, one port there", {"box"}, {"box"}, {"box"}, "", PORT_CHOSEN, "box"},
      {"Enter, two there", both, both, both, "", PORT_WHICH, ""},
      {"Enter, none there", none, none, none, "", PORT_WHICH, ""},
      {"Enter, the one new since the list", printer, both, both, "", PORT_CHOSEN, "box"},
      {"Enter, two new since the list", printer, three, three, "", PORT_WHICH, ""},
      {"a name", both, both, both, "/dev/ttyACM0", PORT_TYPED, "/dev/ttyACM0"},
      {"COMn is a name", both, both, both, "COM3", PORT_TYPED, "COM3"},
  };
  for (const Row& row : rows) {
    const std::string answer = row.answer != nullptr ? row.answer : "";
    const PortChoice choice =
        ChoosePort(row.shown, row.before, row.now, row.answer != nullptr ? &answer : nullptr);
    EXPECT_EQ(choice.kind, row.kind) << row.what;
    const bool named = row.kind == PORT_CHOSEN || row.kind == PORT_TYPED;
    EXPECT_EQ(named ? choice.port : "", row.port) << row.what;
  }
}

TEST(Setup, AdvisesOnlyWhatLetsTheUserOpenThePort) {
  struct Row {
    const char* what;
    posix::PortAccess access;
    const char* advice;  // the start of what is said after "Only " or "Your user may not open P"
  } rows[] = {
      {"a USB port of dialout",
       {0660, "root", "dialout", false, false, false},
       ": only the group dialout may. Join it with\n  sudo adduser \"$USER\" dialout\n"},
      {"Arch's uucp", {0660, "root", "uucp", false, false, false}, ": only the group uucp may."},
      {"joined, not yet logged in again",
       {0660, "root", "dialout", false, true, false},
       " yet: it joined the group dialout since this login began"},
      {"a built-in port, root's alone",
       {0600, "root", "root", true, false, false},
       "root may open P: it is probably not the box's port."},
      {"root's group may open it",
       {0660, "root", "root", true, false, false},
       "root may open P: it is probably not the box's"},
      {"the group may only write (a terminal)",
       {0620, "ann", "tty", false, false, false},
       "ann may open P"},
  };
  for (const Row& row : rows) {
    const std::string advice = posix::PortAccessAdvice("P", row.access);
    const std::string start = advice.compare(0, 5, "Only ") == 0
                                  ? advice.substr(5)
                                  : advice.substr(std::string("Your user may not open P").size());
    EXPECT_EQ(start.substr(0, strlen(row.advice)), row.advice) << row.what << ": " << advice;
  }
}

}  // namespace
