// What Knobvane needs of its platform beyond the Windows functions: why a serial port refuses
// to open, and where its state lines go: standard error on Linux, which the user unit's journal
// keeps (platform/posix/state_log.cpp), a small log file of its own on Windows
// (platform/windows/state_log.cpp). The setup program tells the same causes and shows the last
// of those lines.
#ifndef KNOBVANE_PLATFORM_CONTROLLER_SERVICES_H
#define KNOBVANE_PLATFORM_CONTROLLER_SERVICES_H

#include <cstddef>
#include <string>

#include "platform/win32.h"

namespace platform {

// Why port could not be opened, or is no serial port, given GetLastError after the open (or
// ERROR_INVALID_FUNCTION when GetCommState failed on it): what it is and what to do, in a
// sentence or two (the advice may stand on a line of its own), written into text (size bytes,
// cut to fit). On fixed buffers: the Windows controller takes no C++ library strings.
void PortRefusal(const char* port, DWORD error, char* text, size_t size);

// The same, for the setup program.
inline std::string WhyPortRefused(const std::string& port, DWORD error) {
  char text[1024];
  PortRefusal(port.c_str(), error, text, sizeof text);
  return text;
}

// Tells one line of Knobvane's state (no line end) where its user finds it; on Windows with
// the local time in front.
void TellState(const char* line);

// Where TellState's lines can be read, for the user: a command, or the log file's path.
std::string StateLogPlace();

// The last `count` lines told, oldest first, each with its line feed; false when there are
// none or they cannot be read.
bool RecentStateLines(int count, std::string* lines);

// Appends entry (whole lines, entryLength bytes) to the log's text in log[0..length), a buffer
// of capBytes + 1 bytes, and returns the new length. When the text would pass capBytes, the
// oldest lines go until at most half of capBytes is left, so that the file is rewritten seldom;
// an entry longer than that half is kept alone, cut to it.
size_t AppendCapped(char* log, size_t length, const char* entry, size_t entryLength,
                    size_t capBytes);

}  // namespace platform

#endif  // KNOBVANE_PLATFORM_CONTROLLER_SERVICES_H
