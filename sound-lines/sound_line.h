// Sound lines: every mixer device, destination line and source line of the machine,
// walked in one fixed order that gives each entry its line number. Linescout prints the
// numbers; the controller's SoundLine objects count through the same walk to find the line
// a user picked, so both programs number identically.
#ifndef KNOBVANE_SOUND_LINES_SOUND_LINE_H
#define KNOBVANE_SOUND_LINES_SOUND_LINE_H

#include <cstdint>

#include "platform/win32.h"

// What a walk visits; the visitor gets it as its first argument.
enum VisitKind : int32_t {
  VISIT_DEVICE = 1,
  VISIT_DESTINATION = 2,
  VISIT_SOURCE = 3,
};

// Called once per entry with the walk's own records, valid only during the call. On a
// device visit the line record still holds what the previous query left in it. Returns 0
// to go on, anything else to stop the walk.
typedef int32_t (*LineVisitor)(VisitKind kind, const MIXERCAPSA* caps, const MIXERLINEA* line,
                               void* context);

// Visits every device, then each of its destination lines followed by that line's sources,
// device after device. Counting the visits from 0 gives the line numbers. Failed queries
// are visited all the same (with the records as they are), so they keep their numbers.
void ForEachSoundLine(LineVisitor visitor, void* context);

#endif  // KNOBVANE_SOUND_LINES_SOUND_LINE_H
