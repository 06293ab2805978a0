// The POSIX stand-in for the Windows serial and process functions: what it offers beyond
// those functions, for its own tests.
#ifndef KNOBVANE_PLATFORM_POSIX_POSIX_H
#define KNOBVANE_PLATFORM_POSIX_POSIX_H

#include <string>

namespace posix {

// The device CreateFileA opens for a name: "COMn" and "\\.\COMn" (n from 1 to 256, any letter
// case) become /dev/ttyS<n-1>, as Linux and Wine number serial ports; any other name is a
// path and comes back unchanged.
std::string ComPortDevicePath(const char* name);

}  // namespace posix

#endif  // KNOBVANE_PLATFORM_POSIX_POSIX_H
