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

// A line of text built on a fixed buffer, cut to fit and always terminated, without the C
// library's printf: mingw-w64's own would more than double the Windows controller's size.
class LineText {
 public:
  template <size_t N>
  explicit LineText(char (&buffer)[N]) : buffer_(buffer), size_(N) {
    buffer_[0] = 0;
  }

  LineText& operator<<(const char* text) {
    for (; *text != 0 && length_ + 1 < size_; ++text) buffer_[length_++] = *text;
    buffer_[length_] = 0;
    return *this;
  }

  // A number in decimal, with leading zeros up to width digits.
  LineText& Number(long number, int width = 1) {
    char digits[24];
    int count = 0;
    unsigned long magnitude =
        number < 0 ? 0ul - static_cast<unsigned long>(number) : static_cast<unsigned long>(number);
    do {
      digits[count++] = static_cast<char>('0' + magnitude % 10);
      magnitude /= 10;
    } while (magnitude > 0 && count < 20);
    while (count < width && count < 20) digits[count++] = '0';
    if (number < 0) digits[count++] = '-';
    while (count > 0 && length_ + 1 < size_) buffer_[length_++] = digits[--count];
    buffer_[length_] = 0;
    return *this;
  }

  const char* Text() const { return buffer_; }
  size_t Length() const { return length_; }

 private:
  char* buffer_;
  size_t size_;
  size_t length_ = 0;
};

#endif  // KNOBVANE_PLATFORM_TEXT_H
