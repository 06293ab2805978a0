#include "controller/states.h"

namespace {

constexpr size_t SHOWN_BYTES = 40;

// The platform's words for a refusal may put the advice on a line of its own: one line here.
std::string OneLine(const std::string& text) {
  std::string line;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\n') {
      line += text[i];
      continue;
    }
    line += ' ';
    while (i + 1 < text.size() && text[i + 1] == ' ') ++i;
  }
  return line;
}

}  // namespace

std::string Shown(const char* text) {
  std::string shown;
  for (const char* c = text; *c != 0 && shown.size() < SHOWN_BYTES; ++c) {
    shown += *c >= 32 && *c < 127 ? *c : '?';
  }
  return shown;
}

StateReport::StateReport(const char* port, void (*tell)(const char* line))
    : port_(port), tell_(tell) {}

void StateReport::Box(BoxState state, const std::string& detail) {
  // Called for every reading: the same state costs a comparison and nothing else.
  const bool caused = state == BOX_REFUSED || state == BOX_NOT_SERIAL;
  if (state == box_ && (!caused || detail == cause_)) return;
  box_ = state;
  cause_ = caused ? detail : std::string();
  const std::string again = " Knobvane tries again every 2 seconds.";
  std::string line;
  switch (state) {
    case BOX_UNKNOWN:
      return;
    case BOX_REFUSED:
    case BOX_NOT_SERIAL:
      line = OneLine(detail) + again;
      break;
    case BOX_SILENT:
      line = port_ +
             " is open, but nothing came from it, though a box reports its knobs when its port "
             "opens: is it the box's port, and is Knobvane's firmware on the box?";
      break;
    case BOX_NOT_READINGS:
      line = port_ + " sends lines that are not the box's readings, like \"" +
             Shown(detail.c_str()) + "\": is it the box's port, sending at " +
             std::to_string(READING_BAUD) + " baud?";
      break;
    case BOX_READING:
      line = "Reading the box on " + port_ + ".";
      break;
  }
  tell_(line.c_str());
}

void StateReport::Server(bool there) {
  const Known now = there ? YES : NO;
  if (now == server_) return;
  const Known before = server_;
  server_ = now;
  if (before == UNKNOWN && there) return;
  if (before == UNKNOWN) {
    waited_ = true;
    tell_("Waiting for the sound server before looking up the lines.");
  } else if (!there) {
    tell_("The sound server went away: the knobs set nothing until it is back.");
  } else {
    tell_(waited_ ? "The sound server answers: the lines are looked up."
                  : "The sound server is back.");
    waited_ = false;
  }
}

void StateReport::Line(int knob, int32_t lineNumber, bool open) {
  if (knob < 0 || knob >= CHANNEL_COUNT) return;
  const Known now = open ? YES : NO;
  const Known before = lines_[knob];
  if (now == before) return;
  lines_[knob] = now;
  const std::string which = "Knob " + std::to_string(knob) + ": ";
  const std::string number = std::to_string(lineNumber);
  if (!open) {
    tell_((which + "there is no sound line " + number +
           " with a volume now (Linescout lists the lines): the knob sets nothing until there is.")
              .c_str());
  } else if (before == NO) {
    tell_((which + "sound line " + number + " is there now.").c_str());
  }
}
