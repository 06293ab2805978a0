// Knobvane's log on Windows read back, for the setup program's --show.
#include <string>

#include "platform/controller_services.h"
#include "platform/remembered.h"
#include "platform/remembered_file.h"

namespace platform {

std::string StateLogPlace() {
  char path[REMEMBERED_PATH_BYTES];
  return ListFilePath("knobvane.log", path, sizeof path) ? path : "";
}

bool RecentStateLines(int count, std::string* lines) {
  lines->clear();
  const std::string path = StateLogPlace();
  std::string log(128 * 1024, '\0');
  size_t length = 0;
  if (path.empty() || count <= 0 || !ReadListFile(path.c_str(), &log[0], log.size(), &length)) {
    return false;
  }
  // Without the carriage returns, as the console prints them.
  std::string text;
  for (size_t i = 0; i < length; ++i) {
    if (log[i] != '\r') text += log[i];
  }
  if (!text.empty() && text.back() != '\n') text += '\n';
  size_t start = text.size();
  for (int shown = 0; shown < count && start > 0; ++shown) {
    // The line feed before the line that ends at start.
    const size_t lineEnd = start >= 2 ? text.rfind('\n', start - 2) : std::string::npos;
    start = lineEnd == std::string::npos ? 0 : lineEnd + 1;
  }
  *lines = text.substr(start);
  return !lines->empty();
}

}  // namespace platform
