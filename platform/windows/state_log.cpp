// Knobvane's state lines on Windows, where a program without a window has no standard error:
// %LOCALAPPDATA%\Knobvane\knobvane.log beside the remembered lists, each line with the local
// time, kept small. On fixed buffers: the controller takes no C++ library containers.
#include <cstdlib>
#include <cstring>

#include "platform/controller_services.h"
#include "platform/remembered.h"
#include "platform/remembered_file.h"
#include "platform/text.h"
#include "platform/win32.h"

namespace {

// A log read in one go, and read back whole by setup: a few hundred lines.
constexpr size_t LOG_CAP_BYTES = 64 * 1024;

// Writes the whole log anew, for the rare write that drops its oldest half.
void Rewrite(const char* path, const char* text, size_t length) {
  WCHAR wide[REMEMBERED_PATH_BYTES];
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide, REMEMBERED_PATH_BYTES) ==
      0) {
    return;
  }
  const HANDLE file = CreateFileW(wide, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, text, static_cast<DWORD>(length), &written, nullptr);
  CloseHandle(file);
}

}  // namespace

namespace platform {

void TellState(const char* line) {
  char path[REMEMBERED_PATH_BYTES];
  if (!ListFilePath("knobvane.log", path, sizeof path)) return;
  SYSTEMTIME now;
  GetLocalTime(&now);
  // CRLF: the log is read in Notepad too.
  char entry[2 * REMEMBERED_FIELD_BYTES];
  LineText text(entry);
  text.Number(now.wYear, 4) << "-";
  text.Number(now.wMonth, 2) << "-";
  text.Number(now.wDay, 2) << " ";
  text.Number(now.wHour, 2) << ":";
  text.Number(now.wMinute, 2) << ":";
  text.Number(now.wSecond, 2) << "  " << line;
  // A line too long for the entry is cut, and keeps its line end.
  const size_t entryLength =
      text.Length() < sizeof entry - 2 ? text.Length() + 2 : sizeof entry - 1;
  memcpy(entry + entryLength - 2, "\r\n", 2);
  entry[entryLength] = 0;
  // Taken only while a line is told, which is seldom: a static buffer would weigh on the file.
  char* log = static_cast<char*>(malloc(LOG_CAP_BYTES + 1));
  if (log == nullptr) return;
  size_t logLength = 0;
  if (!ReadListFile(path, log, LOG_CAP_BYTES, &logLength)) logLength = 0;
  if (logLength + entryLength <= LOG_CAP_BYTES) {
    // Appended in one write: two Knobvanes on two boxes share the log.
    AppendListLine(path, entry, entryLength);
  } else {
    Rewrite(path, log, AppendCapped(log, logLength, entry, entryLength, LOG_CAP_BYTES));
  }
  free(log);
}

}  // namespace platform
