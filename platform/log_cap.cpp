// The cap of Knobvane's log file on Windows, in plain C++ on fixed buffers (the Windows program
// takes no C++ library containers), so that its rule is tested on every build host.
#include <algorithm>
#include <cstring>

#include "platform/controller_services.h"

namespace platform {

size_t AppendCapped(char* log, size_t length, const char* entry, size_t entryLength,
                    size_t capBytes) {
  length = std::min(length, capBytes);
  // A line cut short (the program ended while writing it) stays a line of its own.
  if (length > 0 && log[length - 1] != '\n') log[length++] = '\n';
  if (length + entryLength <= capBytes) {
    memcpy(log + length, entry, entryLength);
    return length + entryLength;
  }
  const size_t half = capBytes / 2;
  if (entryLength > half) {
    memcpy(log, entry, half);
    return half;
  }
  size_t start = length - std::min(length, half - entryLength);
  // Only whole lines are kept: the first one kept begins after a line feed.
  if (start > 0) {
    const void* lineEnd = memchr(log + start - 1, '\n', length - (start - 1));
    start = lineEnd == nullptr ? length
                               : static_cast<size_t>(static_cast<const char*>(lineEnd) - log) + 1;
  }
  memmove(log, log + start, length - start);
  memcpy(log + length - start, entry, entryLength);
  return length - start + entryLength;
}

}  // namespace platform
