// What Knobvane needs of its platform beyond the Windows functions: why a serial port refuses
// to open. The setup program tells the same causes.
#ifndef KNOBVANE_PLATFORM_CONTROLLER_SERVICES_H
#define KNOBVANE_PLATFORM_CONTROLLER_SERVICES_H

#include <string>

#include "platform/win32.h"

namespace platform {

// Why port could not be opened, given GetLastError after the open: what to do, in a sentence
// or two (the advice may stand on a line of its own).
std::string WhyPortRefused(const std::string& port, DWORD error);

}  // namespace platform

#endif  // KNOBVANE_PLATFORM_CONTROLLER_SERVICES_H
