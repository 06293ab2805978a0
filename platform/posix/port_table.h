// What the serial functions of platform/posix share: the table of open ports behind the
// handles CreateFileA gives out, and the Windows error of the calling thread.
#ifndef KNOBVANE_PLATFORM_POSIX_PORT_TABLE_H
#define KNOBVANE_PLATFORM_POSIX_PORT_TABLE_H

#include <cstddef>
#include <mutex>

#include "platform/win32.h"

namespace posix {

// Bytes read from a port but not yet asked for (see ReadFile). Part of the port's slot, so
// that it goes with the slot when the port closes and never reaches the next port in it.
struct ReadAhead {
  size_t start = 0, end = 0;
  char bytes[256];
};

struct Port {
  int fd = -1;  // -1: the slot is free
  bool exclusive = false;
  COMMTIMEOUTS timeouts = {};  // all zero, as on a freshly opened Windows port
  ReadAhead ahead;
};

// Guards every slot of the table.
std::mutex& PortsLock();

// The open port behind handle, or null; call with PortsLock() held.
Port* Slot(HANDLE handle);

// Runs use(port) with the table locked on the open port behind handle; false when there is none.
template <typename Use>
bool WithPort(HANDLE handle, Use use) {
  std::lock_guard<std::mutex> guard(PortsLock());
  Port* port = Slot(handle);
  if (port == nullptr) return false;
  use(*port);
  return true;
}

// The descriptor of the open port behind handle, -1 when there is none.
int DescriptorOf(HANDLE handle);

// Sets the calling thread's last error and returns FALSE, as a failing kernel32 call does.
BOOL Fail(DWORD error);

// The Windows error that stands for a failed system call's errno.
DWORD ErrorFromErrno(int error);

}  // namespace posix

#endif  // KNOBVANE_PLATFORM_POSIX_PORT_TABLE_H
