// The cap of Knobvane's log file on Windows, in plain C++ so that its rule is tested on every
// build host.
#include <algorithm>

#include "platform/controller_services.h"

namespace platform {

std::string AppendCapped(const std::string& log, const std::string& entry, size_t capBytes) {
  // A line cut short (the program ended while writing it) stays a line of its own.
  const std::string ended = log.empty() || log.back() == '\n' ? log : log + "\n";
  if (ended.size() + entry.size() <= capBytes) return ended + entry;
  const size_t half = capBytes / 2;
  if (entry.size() > half) return entry.substr(0, half);
  size_t start = ended.size() - std::min(ended.size(), half - entry.size());
  // Only whole lines are kept: the first one kept begins after a line feed.
  if (start > 0) {
    const size_t lineEnd = ended.find('\n', start - 1);
    start = lineEnd == std::string::npos ? ended.size() : lineEnd + 1;
  }
  return ended.substr(start) + entry;
}

}  // namespace platform
