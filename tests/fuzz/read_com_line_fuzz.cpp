// Feeds any byte stream through a pipe to ReadComLine, with buffer sizes taken from the input,
// and checks the framing: each line keeps at most size - 1 bytes, is terminated, holds no line
// feed, and the lines put together give back the stream, less the line feeds and the one byte
// an overlong line loses at position size - 1. The read after the last byte fails.
//
// Input: one byte n, then n % 4 + 1 bytes each giving a buffer size of 1 to 256 (used in
// turn, call after call), then the stream.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "serial/serial.h"

namespace {

// A pipe holds this much without a reader; more would block the writer.
const size_t MAX_STREAM = 16384;

void Check(bool condition) {
  if (!condition) abort();
}

// The stream, written and closed, read through the serial layer as if it were a port: the
// port "hangs up" after its last byte. Opened for reading only, as the port's own write end
// would keep the pipe from ever hanging up; the reads wait as OpenComPort makes them wait.
HANDLE PortHolding(const uint8_t* stream, size_t size) {
  int ends[2];
  if (pipe(ends) != 0) abort();
  size_t written = 0;
  while (written < size) {
    const ssize_t n = write(ends[1], stream + written, size - written);
    if (n <= 0) abort();
    written += static_cast<size_t>(n);
  }
  close(ends[1]);
  const std::string path = "/dev/fd/" + std::to_string(ends[0]);
  HANDLE port = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  close(ends[0]);
  COMMTIMEOUTS timeouts = {};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
  timeouts.ReadTotalTimeoutConstant = MAXDWORD - 1;
  if (port != INVALID_HANDLE_VALUE) SetCommTimeouts(port, &timeouts);
  return port;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t sizeCount = data[0] % 4 + 1;
  if (size < 1 + sizeCount) return 0;
  std::vector<int32_t> sizes;
  for (size_t i = 0; i < sizeCount; ++i) sizes.push_back(int32_t{data[1 + i]} + 1);
  const uint8_t* stream = data + 1 + sizeCount;
  const size_t streamSize = size - 1 - sizeCount;
  if (streamSize > MAX_STREAM) return 0;

  HANDLE port = PortHolding(stream, streamSize);
  Check(port != INVALID_HANDLE_VALUE);

  size_t next = 0;  // the next stream byte the framing has to account for
  for (size_t call = 0;; ++call) {
    const int32_t bufferSize = sizes[call % sizes.size()];
    // Exactly the size asked for, so that a write past it is caught.
    std::vector<char> buffer(static_cast<size_t>(bufferSize), '\x55');
    const bool ok = ReadComLine(port, buffer.data(), bufferSize);

    // What the line must be: bytes up to a line feed, at most size - 1 of them; a line that
    // reaches size - 1 bytes loses the next one; the end of the stream fails the read.
    std::string expected;
    bool expectOk = true;
    for (;;) {
      if (next == streamSize) {
        expectOk = false;
        break;
      }
      const char byte = static_cast<char>(stream[next++]);
      if (byte == '\n') break;
      if (expected.size() == static_cast<size_t>(bufferSize - 1)) break;  // the lost byte
      expected.push_back(byte);
    }

    Check(ok == expectOk);
    Check(expected.size() <= static_cast<size_t>(bufferSize - 1));
    Check(buffer[expected.size()] == 0);
    Check(memchr(buffer.data(), '\n', expected.size()) == nullptr);
    Check(memcmp(buffer.data(), expected.data(), expected.size()) == 0);
    if (!ok) break;
  }
  CloseComPort(port);
  return 0;
}
