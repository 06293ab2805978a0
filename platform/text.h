// Rules for text that the programs and the platform layer below them must apply alike: what
// separates the words of a command line (the controller splits it, the POSIX layer builds it)
// and where a name may be cut (winmm's fields, the Linux mixer's lists).
#ifndef KNOBVANE_PLATFORM_TEXT_H
#define KNOBVANE_PLATFORM_TEXT_H

#include <cstddef>
#include <string>

// What isspace accepts in the default locale, written out so that a byte of 128 or more
// (a signed char below 0) is never taken for whitespace, whatever the locale.
inline bool IsWhitespace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// How much of text (size bytes) to keep, at most maxBytes, so that no UTF-8 character is split.
inline size_t Utf8CutLength(const char* text, size_t size, size_t maxBytes) {
  size_t length = maxBytes < size ? maxBytes : size;
  while (length > 0 && length < size && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) {
    --length;
  }
  return length;
}
inline size_t Utf8CutLength(const std::string& text, size_t maxBytes) {
  return Utf8CutLength(text.data(), text.size(), maxBytes);
}

#endif  // KNOBVANE_PLATFORM_TEXT_H
