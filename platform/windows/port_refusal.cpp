// Why a COM port refuses to open on Windows, as Knobvane and the setup program tell it.
#include <string>

#include "platform/controller_services.h"
#include "platform/win32.h"

namespace platform {

std::string WhyPortRefused(const std::string& port, DWORD error) {
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
    return port + " is not there: is the box plugged in?";
  }
  // Opening a folder fails as a port in use does, and no other program is to blame.
  const DWORD attributes = GetFileAttributesA(port.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return port + " is a folder, not a serial port.";
  }
  // GetCommState's answer for a device that is no serial port.
  if (error == ERROR_INVALID_FUNCTION) return port + " is a device, but not a serial port.";
  if (error == ERROR_ACCESS_DENIED) {
    return port +
           " is in use by another program (a serial monitor, the Arduino IDE, a slicer?): close "
           "it, then try again.";
  }
  return port + " could not be opened (error " + std::to_string(error) + ").";
}

std::string PortHolders(const std::string&) { return ""; }

}  // namespace platform
