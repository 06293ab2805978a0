// Splits any command line and checks that every argument is a piece of the list's own copy,
// ended inside it, in order, and that nothing but whitespace and quotes falls between them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "controller/argument_list.h"
#include "platform/text.h"

namespace {

// What separates two arguments (or leads or ends the line): whitespace, and at most the
// closing quote of one argument and the opening quote of the next.
bool IsSeparator(const std::string& line, size_t from, size_t to) {
  int quotes = 0;
  for (size_t i = from; i < to; ++i) {
    if (line[i] == '"') {
      ++quotes;
    } else if (!IsWhitespace(line[i])) {
      return false;
    }
  }
  return quotes <= 2;
}

void Check(bool condition) {
  if (!condition) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A command line ends at its first NUL.
  std::string line(reinterpret_cast<const char*>(data), size);
  line.resize(strlen(line.c_str()));
  ArgumentList arguments(line.c_str());
  const uint32_t count = arguments.Count();
  const size_t length = line.size();

  Check((count == 0) == (length == 0));
  // Every argument but the last takes at least one character and its separator.
  Check(count <= length / 2 + 1);
  Check(arguments.Argument(count) == nullptr);
  if (count == 0) return 0;

  // Argument 0 starts after the leading whitespace and an opening quote; that places the
  // copy, and every other argument must then lie inside it.
  size_t first = 0;
  while (first < length && IsWhitespace(line[first])) ++first;
  if (first < length && line[first] == '"') ++first;
  const char* copy = arguments.Argument(0) - first;

  size_t end = 0;  // where the previous argument's text ended
  for (uint32_t i = 0; i < count; ++i) {
    const char* argument = arguments.Argument(i);
    Check(argument != nullptr && argument >= copy && argument <= copy + length);
    const size_t offset = static_cast<size_t>(argument - copy);
    // memchr, not strlen: a terminator missing from the copy must not send us past its end.
    const void* terminator = memchr(argument, 0, length + 1 - offset);
    Check(terminator != nullptr);
    const size_t argumentLength =
        static_cast<size_t>(static_cast<const char*>(terminator) - argument);
    Check(i == 0 || offset > end);
    Check(IsSeparator(line, end, offset));
    // The text is the command line's own, unchanged, and ends where the line ended or at
    // whitespace or a closing quote.
    Check(memcmp(argument, line.data() + offset, argumentLength) == 0);
    const size_t after = offset + argumentLength;
    Check(after == length || IsWhitespace(line[after]) || line[after] == '"');
    end = after;
  }
  Check(IsSeparator(line, end, length));
  return 0;
}
