// Linescout, the line lister: prints every mixer device, destination line and source line
// with the line number that picks it in Knobvane's command line.
#ifndef KNOBVANE_LISTER_LISTER_H
#define KNOBVANE_LISTER_LISTER_H

#include <cstdint>

// Prints the banner and the numbered list to standard output; returns the exit code, 0.
int ListSoundLines();

// How many numbered lines the last ListSoundLines printed.
int32_t ListedLineCount();

#endif  // KNOBVANE_LISTER_LISTER_H
