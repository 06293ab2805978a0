// Knobvane's state lines on Linux: standard error, which the systemd user unit's journal keeps
// with the time and the program's name, and journalctl to read the last of them back.
#include <cstdio>
#include <string>

#include "platform/controller_services.h"

namespace platform {

void TellState(const char* line) {
  // One write per line: lines of two threads never mix.
  const std::string ended = std::string(line) + "\n";
  fwrite(ended.data(), 1, ended.size(), stderr);
  fflush(stderr);
}

std::string StateLogPlace() { return "journalctl --user -u knobvane"; }

bool RecentStateLines(int count, std::string* lines) {
  lines->clear();
  if (count <= 0) return false;
  const std::string command =
      StateLogPlace() + " --no-pager --quiet --lines=" + std::to_string(count) + " 2>/dev/null";
  FILE* journal = popen(command.c_str(), "r");
  if (journal == nullptr) return false;
  char text[1024];
  while (fgets(text, sizeof text, journal) != nullptr) *lines += text;
  const bool read = pclose(journal) == 0;
  if (!lines->empty() && lines->back() != '\n') *lines += '\n';
  return read && !lines->empty();
}

}  // namespace platform
