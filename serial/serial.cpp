#include "serial/serial.h"

namespace {

const char LINE_FEED = 10;

// The box sends whenever a knob moves, which may be never for hours: a read waits for the
// first byte as long as the platform allows and returns it at once.
BOOL WaitForFirstByte(HANDLE port) {
  COMMTIMEOUTS timeouts = {};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
  timeouts.ReadTotalTimeoutConstant = MAXDWORD - 1;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = 0;
  return SetCommTimeouts(port, &timeouts);
}

// What a port that cannot report its settings starts from: complete, and valid for Windows,
// which refuses the whole record when XonChar equals XoffChar (both 0 in an empty one) and
// would then leave the port as it was. XON/XOFF stays off, with the usual characters and the
// limits a Windows driver reports for its 4096-byte input buffer.
DCB DefaultLineSettings() {
  DCB settings = {};
  settings.DCBlength = sizeof(DCB);
  settings.fBinary = 1;
  settings.fOutX = 0;
  settings.fInX = 0;
  settings.XonLim = 2048;
  settings.XoffLim = 512;
  settings.XonChar = 0x11;
  settings.XoffChar = 0x13;
  return settings;
}

// Changes only what the box needs and keeps the rest (XON/XOFF above all) as the port has it.
void SetLineSettings(HANDLE port, DWORD baudRate) {
  DCB settings = {};
  settings.DCBlength = sizeof(DCB);
  if (!GetCommState(port, &settings)) settings = DefaultLineSettings();
  settings.BaudRate = baudRate;
  settings.fParity = 0;
  settings.fOutxCtsFlow = 0;
  settings.fOutxDsrFlow = 0;
  settings.fDtrControl = DTR_CONTROL_ENABLE;
  settings.fDsrSensitivity = 0;
  settings.ByteSize = 8;
  settings.Parity = NOPARITY;
  settings.StopBits = ONESTOPBIT;
  settings.fRtsControl = RTS_CONTROL_DISABLE;
  SetCommState(port, &settings);
}

}  // namespace

HANDLE OpenComPort(const char* name, DWORD baudRate) {
  HANDLE port = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (port == INVALID_HANDLE_VALUE) return port;
  // A port that refuses the timeouts or settings may still deliver readings: keep it.
  WaitForFirstByte(port);
  SetLineSettings(port, baudRate);
  return port;
}

bool ReadComLine(HANDLE port, char* buffer, int32_t size) {
  if (buffer == nullptr || size < 1) return false;
  buffer[0] = 0;
  int32_t position = 0;
  DWORD count = 0;
  BOOL ok;
  // One byte per read: nothing past the line feed is taken from the port, so the next line
  // stays there for the next call. A line longer than the buffer loses the byte read into
  // its last place, which the terminator overwrites.
  do {
    position += static_cast<int32_t>(count);
    buffer[position] = 0;  // a read that delivers nothing must not find an old line feed here
    count = 0;
    ok = ReadFile(port, buffer + position, 1, &count, nullptr);
  } while (buffer[position] != LINE_FEED && position < size - 1 && ok);
  buffer[position] = 0;
  return ok != 0;
}

BOOL WaitForComReads(HANDLE port) { return WaitForFirstByte(port); }

BOOL LimitComReads(HANDLE port, DWORD milliseconds) {
  // This combination waits up to the constant for the first byte and returns at once with it.
  COMMTIMEOUTS timeouts = {};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
  timeouts.ReadTotalTimeoutConstant = milliseconds;
  return SetCommTimeouts(port, &timeouts);
}

ComLinePart ReadComLinePart(HANDLE port, char* buffer, int32_t size, int32_t* length) {
  if (buffer == nullptr || size < 1 || length == nullptr || *length < 0 || *length >= size) {
    return COM_PORT_FAILED;
  }
  ComLinePart result = COM_LINE_PENDING;
  for (int32_t taken = 0; taken < size; ++taken) {
    char byte = 0;
    DWORD count = 0;
    if (!ReadFile(port, &byte, 1, &count, nullptr)) {
      result = COM_PORT_FAILED;
      break;
    }
    if (count == 0) break;
    if (byte == LINE_FEED) {
      buffer[*length] = 0;
      *length = 0;
      return COM_LINE_DONE;
    }
    if (*length < size - 1) buffer[(*length)++] = byte;
  }
  buffer[*length] = 0;
  return result;
}

BOOL CloseComPort(HANDLE port) {
  PurgeComm(port, PURGE_RXABORT);
  return CloseHandle(port);
}
