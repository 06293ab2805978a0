// The process services a Windows program gets from kernel32 and user32: its whole command line
// as one string (GetCommandLineA), a message box (here the message goes to standard error, as
// a program without a desktop has nowhere else to put it) and Sleep.
#include <errno.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/win32.h"

namespace {

bool IsWhitespace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// How the command-line splitter takes an argument back unchanged: as it stands, unless it is
// empty, holds whitespace or starts with a quote; then in quotes. (An argument holding a
// quote followed by whitespace cannot be written so that the splitter keeps it whole.)
void AppendArgument(std::string* line, const std::string& argument) {
  bool quote = argument.empty() || argument[0] == '"';
  for (char c : argument) quote = quote || IsWhitespace(c);
  if (!line->empty()) *line += ' ';
  if (quote) *line += '"';
  *line += argument;
  if (quote) *line += '"';
}

// The arguments the process was started with, each ended by a NUL.
std::string StartArguments() {
  std::string arguments;
  int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return arguments;
  char chunk[4096];
  ssize_t count;
  while ((count = read(fd, chunk, sizeof chunk)) > 0 || (count < 0 && errno == EINTR)) {
    if (count > 0) arguments.append(chunk, static_cast<size_t>(count));
  }
  close(fd);
  return arguments;
}

std::string BuildCommandLine() {
  std::string arguments = StartArguments();
  std::string line;
  size_t start = 0;
  while (start < arguments.size()) {
    size_t end = arguments.find('\0', start);
    if (end == std::string::npos) end = arguments.size();
    AppendArgument(&line, arguments.substr(start, end - start));
    start = end + 1;
  }
  return line;
}

}  // namespace

extern "C" {

LPSTR GetCommandLineA(void) {
  // Built once and kept for the whole run, as Windows keeps its copy.
  static std::string commandLine = BuildCommandLine();
  return &commandLine[0];
}

int MessageBoxA(HWND /*hWnd*/, LPCSTR lpText, LPCSTR lpCaption, UINT /*uType*/) {
  fprintf(stderr, "%s: %s\n", lpCaption != nullptr ? lpCaption : "Error",
          lpText != nullptr ? lpText : "");
  return IDOK;
}

void Sleep(DWORD dwMilliseconds) {
  timespec remaining = {static_cast<time_t>(dwMilliseconds / 1000),
                        static_cast<long>(dwMilliseconds % 1000) * 1000000L};
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

}  // extern "C"
