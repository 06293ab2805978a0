// Opening and closing serial ports as kernel32's CreateFileA and CloseHandle do: a handle per
// open port, share mode 0 making the open exclusive, and a port that cannot be opened because
// nothing is behind it reported as a port that does not exist.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdint>
#include <mutex>
#include <string>

#include "platform/posix/port_table.h"
#include "platform/posix/posix.h"
#include "platform/win32.h"

namespace {

const int MAX_PORTS = 32;
// Handles are small multiples of four, like Windows handles: never 0, never
// INVALID_HANDLE_VALUE, and never a pointer anyone could dereference.
const uintptr_t FIRST_HANDLE = 0x100;

posix::Port ports[MAX_PORTS];

HANDLE AddPort(int fd, bool exclusive) {
  std::lock_guard<std::mutex> guard(posix::PortsLock());
  for (int slot = 0; slot < MAX_PORTS; ++slot) {
    if (ports[slot].fd >= 0) continue;
    ports[slot] = posix::Port{};
    ports[slot].fd = fd;
    ports[slot].exclusive = exclusive;
    return reinterpret_cast<HANDLE>(FIRST_HANDLE + 4 * static_cast<uintptr_t>(slot));
  }
  return INVALID_HANDLE_VALUE;
}

}  // namespace

namespace posix {

std::mutex& PortsLock() {
  static std::mutex lock;
  return lock;
}

Port* Slot(HANDLE handle) {
  uintptr_t value = reinterpret_cast<uintptr_t>(handle);
  if (value < FIRST_HANDLE || (value - FIRST_HANDLE) % 4 != 0) return nullptr;
  uintptr_t slot = (value - FIRST_HANDLE) / 4;
  if (slot >= MAX_PORTS || ports[slot].fd < 0) return nullptr;
  return &ports[slot];
}

int DescriptorOf(HANDLE handle) {
  int fd = -1;
  WithPort(handle, [&fd](Port& port) { fd = port.fd; });
  return fd;
}

}  // namespace posix

extern "C" {

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/, DWORD dwCreationDisposition,
                   DWORD /*dwFlagsAndAttributes*/, HANDLE /*hTemplateFile*/) {
  // Devices can only be opened, never created or truncated.
  if (lpFileName == nullptr || dwCreationDisposition != OPEN_EXISTING) {
    posix::Fail(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  int access = O_RDONLY;
  if ((dwDesiredAccess & GENERIC_WRITE) != 0) {
    access = (dwDesiredAccess & GENERIC_READ) != 0 ? O_RDWR : O_WRONLY;
  }
  // Without O_NONBLOCK the open of a serial port waits for a carrier that a box without modem
  // lines never raises. The descriptor stays non-blocking: ReadFile waits in poll instead.
  std::string path = posix::ComPortDevicePath(lpFileName);
  int fd = open(path.c_str(), access | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    // A device node without hardware behind it (or a pseudo-terminal whose other end has
    // closed) is a port that does not exist.
    bool missing = errno == EIO || errno == ENXIO || errno == ENODEV;
    posix::Fail(missing ? ERROR_FILE_NOT_FOUND : posix::ErrorFromErrno(errno));
    return INVALID_HANDLE_VALUE;
  }
  bool exclusive = dwShareMode == 0;
  if (exclusive) {
    // The lock conflicts between any two opens, within this process too, and binds root;
    // TIOCEXCL also keeps out programs that take no lock (a refusal means: not a terminal).
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      posix::Fail(ERROR_ACCESS_DENIED);
      close(fd);
      return INVALID_HANDLE_VALUE;
    }
    ioctl(fd, TIOCEXCL);
  }
  HANDLE handle = AddPort(fd, exclusive);
  if (handle == INVALID_HANDLE_VALUE) {
    posix::Fail(ERROR_TOO_MANY_OPEN_FILES);
    if (exclusive) ioctl(fd, TIOCNXCL);
    close(fd);
  }
  return handle;
}

BOOL CloseHandle(HANDLE hObject) {
  posix::Port port;
  // The slot is emptied whole, read-ahead and all, while the table is locked: a port opened
  // into it next starts with nothing of this one's.
  const bool open = posix::WithPort(hObject, [&port](posix::Port& slot) {
    port.fd = slot.fd;
    port.exclusive = slot.exclusive;
    slot = posix::Port{};
  });
  if (!open) return posix::Fail(ERROR_INVALID_HANDLE);
  // Exclusivity belongs to the terminal, not the descriptor: give it up before closing, or
  // a terminal someone else still holds open stays barred.
  if (port.exclusive) ioctl(port.fd, TIOCNXCL);
  close(port.fd);
  return TRUE;
}

}  // extern "C"
