#include "controller/argument_list.h"

#include <cstdlib>
#include <cstring>

#include "platform/text.h"
#include "platform/win32.h"

namespace {

const char QUOTE = '"';

}  // namespace

ArgumentList::ArgumentList() : ArgumentList(GetCommandLineA()) {}

ArgumentList::ArgumentList(const char* commandLine) {
  if (commandLine == nullptr) commandLine = "";
  size_t length = strlen(commandLine);
  // malloc, not new: the Windows programs then need none of the C++ runtime's exception
  // machinery. Without memory there are no arguments, and the controller shows its usage.
  text_ = static_cast<char*>(malloc(length + 1));
  if (text_ == nullptr) return;
  memcpy(text_, commandLine, length + 1);
  Split();
}

ArgumentList::~ArgumentList() {
  free(arguments_);
  free(text_);
}

void ArgumentList::Append(char* argument) {
  if (count_ == capacity_) {
    uint32_t capacity = capacity_ == 0 ? 8 : capacity_ * 2;
    char** arguments = static_cast<char**>(realloc(arguments_, capacity * sizeof(char*)));
    if (arguments == nullptr) return;  // out of memory: the list ends here
    arguments_ = arguments;
    capacity_ = capacity;
  }
  arguments_[count_++] = argument;
}

void ArgumentList::Split() {
  char* cursor = text_;
  while (*cursor != 0) {
    while (IsWhitespace(*cursor)) ++cursor;
    bool quoted = *cursor == QUOTE;
    if (quoted) ++cursor;
    // Even at the end of the line: trailing whitespace or a lone quote there leaves an empty
    // argument, which tells "COM3 1  " from "COM3 1".
    Append(cursor);
    if (quoted) {
      // A quote closes only when whitespace or the end follows it; any other is text.
      while (*cursor != 0 && !(*cursor == QUOTE && (cursor[1] == 0 || IsWhitespace(cursor[1])))) {
        ++cursor;
      }
      if (*cursor == QUOTE) {
        *cursor = 0;
        if (cursor[1] != 0) cursor += 2;  // the quote and the one whitespace behind it
      }
    } else {
      while (*cursor != 0 && !IsWhitespace(*cursor)) ++cursor;
      if (*cursor != 0) *cursor++ = 0;
    }
  }
}
