// Knobvane's setup: a dialogue in the terminal that takes a user from a flashed box to knobs
// that work. It finds the box's port by its appearing when the box is plugged in, shows the
// knobs live through the controller's own serial link and decoding, asks a line of Linescout's
// list for each knob, and keeps the settings the controller starts with at login. The same
// steps run without a dialogue from the command line, for scripts.
#ifndef KNOBVANE_SETUP_SETUP_H
#define KNOBVANE_SETUP_SETUP_H

#include <cstdint>
#include <string>

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

#endif  // KNOBVANE_SETUP_SETUP_H
