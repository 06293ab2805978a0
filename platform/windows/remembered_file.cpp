// The remembered lists' files on Windows: in %LOCALAPPDATA%\Knobvane, read and appended with
// the Win32 file calls, the paths kept in UTF-8 and handed to Windows in UTF-16.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstring>

#include "platform/remembered.h"
#include "platform/remembered_file.h"

namespace {

constexpr int WIDE_PATH = 1024;

bool Wide(const char* path, WCHAR (&wide)[WIDE_PATH]) {
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide, WIDE_PATH) != 0;
}

// Others of our programs read and append to the file while one has it open.
constexpr DWORD SHARED = FILE_SHARE_READ | FILE_SHARE_WRITE;

}  // namespace

bool ListFilePath(const char* file, char* path, size_t size) {
  WCHAR folder[WIDE_PATH];
  const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", folder, WIDE_PATH);
  char utf8[REMEMBERED_PATH_BYTES];
  const int bytes =
      length > 0 && length < WIDE_PATH
          ? WideCharToMultiByte(CP_UTF8, 0, folder, -1, utf8, sizeof utf8, nullptr, nullptr)
          : 0;
  const size_t needed = bytes > 0 ? strlen(utf8) + strlen("\\Knobvane\\") + strlen(file) + 1 : 0;
  if (bytes == 0 || needed > size) {
    if (size > 0) path[0] = '\0';
    return false;
  }
  strcpy(path, utf8);
  strcat(path, "\\Knobvane\\");
  strcat(path, file);
  return true;
}

bool ReadListFile(const char* path, char* text, size_t capacity, size_t* length) {
  WCHAR wide[WIDE_PATH];
  if (!Wide(path, wide)) return false;
  const HANDLE file = CreateFileW(wide, GENERIC_READ, SHARED, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  *length = 0;
  DWORD count = 0;
  BOOL read = TRUE;
  while (*length < capacity &&
         (read = ReadFile(file, text + *length, static_cast<DWORD>(capacity - *length), &count,
                          nullptr)) &&
         count > 0) {
    *length += count;
  }
  CloseHandle(file);
  return read || *length > 0;
}

// Opened for appending only (FILE_APPEND_DATA without FILE_WRITE_DATA), every write lands at the
// file's end, wherever another program's writes left it: https://learn.microsoft.com/en-us/
// windows/win32/fileio/file-access-rights-constants.
void AppendListLine(const char* path, const char* line, size_t length) {
  WCHAR wide[WIDE_PATH];
  if (!Wide(path, wide)) return;
  // The folder: its last backslash ends it.
  WCHAR* slash = wcsrchr(wide, L'\\');
  if (slash != nullptr) {
    *slash = L'\0';
    CreateDirectoryW(wide, nullptr);
    *slash = L'\\';
  }
  const HANDLE file = CreateFileW(wide, GENERIC_READ | FILE_APPEND_DATA, SHARED, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  char ended[2 * REMEMBERED_FIELD_BYTES + 4];
  ended[0] = '\n';
  if (length > sizeof ended - 1) length = sizeof ended - 1;
  memcpy(ended + 1, line, length);
  size_t start = 1;
  LARGE_INTEGER size;
  OVERLAPPED at = {};
  char last = '\n';
  DWORD count = 0;
  if (GetFileSizeEx(file, &size) && size.QuadPart > 0) {
    at.Offset = static_cast<DWORD>(size.QuadPart - 1);
    at.OffsetHigh = static_cast<DWORD>((size.QuadPart - 1) >> 32);
    if (ReadFile(file, &last, 1, &count, &at) && count == 1 && last != '\n') start = 0;
  }
  WriteFile(file, ended + start, static_cast<DWORD>(length + 1 - start), &count, nullptr);
  CloseHandle(file);
}
