// The POSIX stand-in for the Windows serial and process functions: what it offers beyond
// those functions, for its own tests.
#ifndef KNOBVANE_PLATFORM_POSIX_POSIX_H
#define KNOBVANE_PLATFORM_POSIX_POSIX_H

#include <string>

#include "platform/win32.h"

namespace posix {

// The device CreateFileA opens for a name: "COMn" and "\\.\COMn" (n from 1 to 256, any letter
// case) become /dev/ttyS<n-1>, as Linux and Wine number serial ports; any other name is a
// path and comes back unchanged.
std::string ComPortDevicePath(const char* name);

// ERROR_SUCCESS when SetCommState would accept the settings, else the error Windows gives
// (ERROR_INVALID_PARAMETER): a wrong DCBlength, a ByteSize outside 5..8, XonChar equal to
// XoffChar (even with XON/XOFF off), a rate of 0, an unknown parity or stop-bit code.
DWORD CommStateError(const DCB& state);

}  // namespace posix

#endif  // KNOBVANE_PLATFORM_POSIX_POSIX_H
