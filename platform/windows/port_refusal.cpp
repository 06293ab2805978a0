// Why a COM port refuses to open on Windows, as Knobvane and the setup program tell it, on a
// fixed buffer.
#include <cstring>

#include "platform/controller_services.h"
#include "platform/text.h"
#include "platform/win32.h"

namespace platform {

void PortRefusal(const char* port, DWORD error, char* text, size_t size) {
  if (size == 0) return;
  char line[1024];
  LineText cause(line);
  cause << port;
  // Opening a folder fails as a port in use does, and no other program is to blame.
  const DWORD attributes = GetFileAttributesA(port);
  const bool folder =
      attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
    cause << " is not there: is the box plugged in?";
  } else if (folder) {
    cause << " is a folder, not a serial port.";
  } else if (error == ERROR_INVALID_FUNCTION) {
    // GetCommState's answer for a device that is no serial port.
    cause << " is a device, but not a serial port.";
  } else if (error == ERROR_ACCESS_DENIED) {
    cause << " is in use by another program (a serial monitor, the Arduino IDE, a slicer?): "
             "close it, then try again.";
  } else {
    cause << " could not be opened (error ";
    cause.Number(static_cast<long>(error)) << ").";
  }
  const size_t length = cause.Length() < size ? cause.Length() : size - 1;
  memcpy(text, line, length);
  text[length] = 0;
}

}  // namespace platform
