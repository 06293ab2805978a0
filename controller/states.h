// Knobvane's states, for a user who wonders why a knob does nothing: what it waits for (the
// box's port, the box, the sound server, a knob's line), told in one line each time a state
// changes, never once per retry, and nothing at all while everything works. Where a line goes
// is the platform's (platform/controller_services.h): the journal on Linux, a log on Windows.
#ifndef KNOBVANE_CONTROLLER_STATES_H
#define KNOBVANE_CONTROLLER_STATES_H

#include <cstddef>
#include <cstdint>

#include "controller/knobvane.h"

// What the box's port is doing.
enum BoxState {
  BOX_UNKNOWN,       // not tried yet
  BOX_REFUSED,       // missing, or may not be opened: the cause is told
  BOX_NOT_SERIAL,    // it opens, but is no serial port (a file): the cause is told
  BOX_SILENT,        // open, and nothing came in the time a box takes to report its knobs
  BOX_NOT_READINGS,  // open, sending lines that are not readings
  BOX_READING,       // readings arrive
};

// The longest cause of a port's state that is told whole, and about the longest line told.
constexpr size_t STATE_LINE_BYTES = 1024;

// Tells each change of Knobvane's states through tell, one line without its line end. On fixed
// buffers: the Windows program takes no C++ library strings. port must outlive the report.
class StateReport {
 public:
  StateReport(const char* port, void (*tell)(const char* line));

  // The box's state. detail: the cause for BOX_REFUSED and BOX_NOT_SERIAL (a change of cause
  // is told too), the line that is no reading for BOX_NOT_READINGS; unused otherwise.
  void Box(BoxState state, const char* detail = "");
  BoxState Box() const { return box_; }

  // Whether the sound server answers. The first time it does not, knobvane is starting and
  // waits for it; later, it went away.
  void Server(bool there);

  // Whether the line a knob was given (lineNumber) could be opened. Only a missing line is
  // told at first; a line found after it was missing is told too.
  void Line(int knob, int32_t lineNumber, bool open);

  // A remark on the arguments, made once at start.
  void Remark(const char* line) { tell_(line); }

 private:
  enum Known { UNKNOWN, YES, NO };

  const char* const port_;
  void (*const tell_)(const char* line);
  BoxState box_ = BOX_UNKNOWN;
  char cause_[STATE_LINE_BYTES] = "";
  Known server_ = UNKNOWN;
  bool waited_ = false;  // for the server, at start
  Known lines_[CHANNEL_COUNT] = {UNKNOWN, UNKNOWN, UNKNOWN, UNKNOWN, UNKNOWN, UNKNOWN};
};

// What a line from outside (a port's line, an argument) looks like in a state line: printable
// characters only, and not too many of them (SHOWN_BYTES), written into shown.
constexpr size_t SHOWN_BYTES = 40;
void Shown(const char* text, char (&shown)[SHOWN_BYTES + 1]);

#endif  // KNOBVANE_CONTROLLER_STATES_H
