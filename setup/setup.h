// Knobvane's setup: a dialogue in the terminal that takes a user from a flashed box to knobs
// that work. It finds the box's port by its appearing when the box is plugged in, shows the
// knobs live through the controller's own serial link and decoding, asks a line of Linescout's
// list for each knob, and keeps the settings the controller starts with at login. The same
// steps run without a dialogue from the command line, for scripts.
#ifndef KNOBVANE_SETUP_SETUP_H
#define KNOBVANE_SETUP_SETUP_H

#include <cstdint>
#include <string>
#include <vector>

// The whole program: the dialogue without arguments, else what they ask. Returns the exit
// status: 0 done, 1 not done (said why), 2 arguments it cannot use (nothing changed).
int RunSetup(int argc, char** argv);

// A line from the box: true with the knob (0..5) and its position in percent (0..100) when it
// is a reading, false for anything else a port might send.
bool ReadKnob(const char* line, int* knob, int* percent);

// The lines of the knobs as typed ("1 x 3", knob 0 first, x for none) checked against a list
// of lineCount lines: true with them as the controller takes them (single spaces, no x after
// the last line); false with the reason, for the user, when one is not in the list, there are
// more than the six knobs, or no knob has a line.
bool ParseKnobLines(const std::string& typed, int32_t lineCount, std::string* lines,
                    std::string* reason);

// What ChoosePort made of the ports' change or of the user's answer.
enum PortChoiceKind {
  PORT_WAIT,        // nothing chosen: go on waiting for the box
  PORT_CHOSEN,      // the port named is the one
  PORT_WHICH,       // more than one could be the box: the user is to say which by its number
  PORT_NOT_LISTED,  // a number that is not one of the list shown
  PORT_TYPED,       // a port's name typed, given as typed
};

struct PortChoice {
  PortChoiceKind kind;
  std::string port;
};

// Which port is the box's while setup waits for it, from the ports' names: shown is the list
// on the screen (numbered from 1), before and now the ports at the last look and at this one,
// answer the line the user typed (nullptr when none). A port that appeared since the last look
// is the box, unless several did. A number takes that port of the list shown; Enter alone the
// only port that appeared since the list was shown, else the only port there is.
PortChoice ChoosePort(const std::vector<std::string>& shown, const std::vector<std::string>& before,
                      const std::vector<std::string>& now, const std::string* answer);

#endif  // KNOBVANE_SETUP_SETUP_H
