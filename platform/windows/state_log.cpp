// Knobvane's state lines on Windows, where a program without a window has no standard error:
// %LOCALAPPDATA%\Knobvane\knobvane.log, each line with the local time, kept small.
#include <cstdio>
#include <string>

#include "platform/controller_services.h"
#include "platform/win32.h"

namespace {

// A log read in one go, and read back whole by setup: a few hundred lines.
constexpr size_t LOG_CAP_BYTES = 64 * 1024;

// The folder of Knobvane's files; "" when the user has none. Windows XP names no local
// application data in the environment: its roaming folder serves there.
std::string Folder() {
  for (const char* name : {"LOCALAPPDATA", "APPDATA"}) {
    char folder[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA(name, folder, sizeof folder);
    if (length > 0 && length < sizeof folder) return std::string(folder) + "\\Knobvane";
  }
  return "";
}

std::string LogPath() {
  const std::string folder = Folder();
  return folder.empty() ? "" : folder + "\\knobvane.log";
}

HANDLE OpenLog(DWORD access, DWORD disposition) {
  return CreateFileA(LogPath().c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool ReadAll(HANDLE file, std::string* text) {
  const DWORD size = GetFileSize(file, nullptr);
  if (size == INVALID_FILE_SIZE || size > 4 * LOG_CAP_BYTES) return false;
  text->assign(size, '\0');
  DWORD count = 0;
  return size == 0 || (ReadFile(file, &(*text)[0], size, &count, nullptr) && count == size);
}

}  // namespace

namespace platform {

void TellState(const char* line) {
  if (LogPath().empty()) return;
  CreateDirectoryA(Folder().c_str(), nullptr);
  SYSTEMTIME now;
  GetLocalTime(&now);
  char time[32];
  snprintf(time, sizeof time, "%04u-%02u-%02u %02u:%02u:%02u  ", now.wYear, now.wMonth, now.wDay,
           now.wHour, now.wMinute, now.wSecond);
  // CRLF: the log is read in Notepad too.
  const std::string entry = time + std::string(line) + "\r\n";
  // Opened to append only, each write lands whole at the end, whoever else writes: two
  // Knobvanes on two boxes share the log.
  HANDLE file = OpenLog(GENERIC_READ | FILE_APPEND_DATA, OPEN_ALWAYS);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  const DWORD size = GetFileSize(file, nullptr);
  if (size != INVALID_FILE_SIZE && size + entry.size() <= LOG_CAP_BYTES) {
    WriteFile(file, entry.data(), static_cast<DWORD>(entry.size()), &written, nullptr);
    CloseHandle(file);
    return;
  }
  std::string log;
  // A log that cannot be read (or was made huge elsewhere) starts again with this line.
  if (!ReadAll(file, &log)) log.clear();
  CloseHandle(file);
  const std::string next = AppendCapped(log, entry, LOG_CAP_BYTES);
  file = OpenLog(GENERIC_WRITE, CREATE_ALWAYS);
  if (file == INVALID_HANDLE_VALUE) return;
  WriteFile(file, next.data(), static_cast<DWORD>(next.size()), &written, nullptr);
  CloseHandle(file);
}

std::string StateLogPlace() { return LogPath(); }

bool RecentStateLines(int count, std::string* lines) {
  lines->clear();
  HANDLE file = OpenLog(GENERIC_READ, OPEN_EXISTING);
  if (file == INVALID_HANDLE_VALUE || count <= 0) {
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return false;
  }
  std::string log;
  const bool read = ReadAll(file, &log);
  CloseHandle(file);
  if (!read) return false;
  // Without the carriage returns, as the console prints them.
  std::string text;
  for (char c : log) {
    if (c != '\r') text += c;
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
