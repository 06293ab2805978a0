#include "lister/lister.h"

#include <cstdio>

#include "sound-lines/sound_line.h"

namespace {

// The line number of the next entry printed.
int32_t printedCount = 0;

// The records come from the platform: print at most their size even if a name arrives
// unterminated.
template <size_t N>
int NameLength(const char (&)[N]) {
  return static_cast<int>(N);
}

int32_t PrintEntry(VisitKind kind, const MIXERCAPSA* caps, const MIXERLINEA* line, void*) {
  switch (kind) {
    case VISIT_DEVICE:
      printf("%4d %.*s\n", printedCount, NameLength(caps->szPname), caps->szPname);
      break;
    case VISIT_DESTINATION:
      printf("%4d   %.*s\n", printedCount, NameLength(line->szName), line->szName);
      break;
    case VISIT_SOURCE:
      printf("%4d     %.*s\n", printedCount, NameLength(line->szName), line->szName);
      break;
    default:
      return 0;
  }
  ++printedCount;
  return 0;
}

}  // namespace

int ListSoundLines() {
  printedCount = 0;
  printf("Linescout - part of Knobvane.\nYour sound lines:\n");
  ForEachSoundLine(PrintEntry, nullptr);
  return 0;
}

int32_t ListedLineCount() { return printedCount; }
