#include "controller/states.h"

#include <cstring>

#include "platform/text.h"

namespace {

// The platform's words for a refusal may put the advice on a line of its own: one line here.
void OneLine(const char* text, char* line, size_t size) {
  size_t length = 0;
  for (const char* c = text; *c != 0 && length + 1 < size; ++c) {
    if (*c != '\n') {
      line[length++] = *c;
      continue;
    }
    line[length++] = ' ';
    while (c[1] == ' ') ++c;
  }
  line[length] = 0;
}

}  // namespace

void Shown(const char* text, char (&shown)[SHOWN_BYTES + 1]) {
  size_t length = 0;
  for (const char* c = text; *c != 0 && length < SHOWN_BYTES; ++c) {
    shown[length++] = *c >= 32 && *c < 127 ? *c : '?';
  }
  shown[length] = 0;
}

StateReport::StateReport(const char* port, void (*tell)(const char* line))
    : port_(port), tell_(tell) {}

void StateReport::Box(BoxState state, const char* detail) {
  // Called for every reading: the same state costs a comparison and nothing else.
  const bool caused = state == BOX_REFUSED || state == BOX_NOT_SERIAL;
  if (state == box_ && (!caused || strcmp(detail, cause_) == 0)) return;
  box_ = state;
  LineText(cause_) << (caused ? detail : "");
  // Room for a whole cause and what follows it.
  char line[STATE_LINE_BYTES + 64];
  LineText text(line);
  char cause[STATE_LINE_BYTES];
  char shown[SHOWN_BYTES + 1];
  switch (state) {
    case BOX_UNKNOWN:
      return;
    case BOX_REFUSED:
    case BOX_NOT_SERIAL:
      OneLine(detail, cause, sizeof cause);
      text << cause << " Knobvane tries again every 2 seconds.";
      break;
    case BOX_SILENT:
      text << port_
           << " is open, but nothing came from it, though a box reports its knobs when its port "
              "opens: is it the box's port, and is Knobvane's firmware on the box?";
      break;
    case BOX_NOT_READINGS:
      Shown(detail, shown);
      text << port_ << " sends lines that are not the box's readings, like \"" << shown
           << "\": is it the box's port, sending at ";
      text.Number(static_cast<long>(READING_BAUD)) << " baud?";
      break;
    case BOX_READING:
      text << "Reading the box on " << port_ << ".";
      break;
  }
  tell_(line);
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
  if (open && before != NO) return;
  char line[STATE_LINE_BYTES];
  LineText text(line);
  text << "Knob ";
  text.Number(knob) << (open ? ": sound line " : ": there is no sound line ");
  text.Number(lineNumber)
      << (open ? " is there now."
               : " with a volume now (Linescout lists the lines): the knob sets nothing until "
                 "there is.");
  tell_(line);
}
