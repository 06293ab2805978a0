// Windows serial ports over Linux terminal devices: CreateFileA, GetCommState, SetCommState,
// SetCommTimeouts, ReadFile, PurgeComm, CloseHandle and GetLastError as kernel32 gives them.
// DCB fields become termios flags and modem-control lines, COMMTIMEOUTS are kept per port and
// honoured with poll, share mode 0 makes the open exclusive, and a port whose other end went
// away fails its reads, as a Windows port does after its adapter is unplugged.
#include <asm/termbits.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/posix/posix.h"
#include "platform/win32.h"

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

BOOL Fail(DWORD error) {
  lastError = error;
  return FALSE;
}

DWORD ErrorFromErrno(int error) {
  switch (error) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EBUSY:
    case EISDIR:
    case EWOULDBLOCK:
      return ERROR_ACCESS_DENIED;
    case ENOTTY:
      return ERROR_INVALID_FUNCTION;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EIO:  // the device went away under an open descriptor
      return ERROR_OPERATION_ABORTED;
    default:
      return ERROR_GEN_FAILURE;
  }
}

// ---- The open ports -------------------------------------------------------------------------

struct Port {
  int fd = -1;
  bool exclusive = false;
  COMMTIMEOUTS timeouts = {};  // all zero, as on a freshly opened Windows port
};

const int MAX_PORTS = 32;
// Handles are small multiples of four, like Windows handles: never 0, never
// INVALID_HANDLE_VALUE, and never a pointer anyone could dereference.
const uintptr_t FIRST_HANDLE = 0x100;

Port ports[MAX_PORTS];
std::mutex portsLock;

// The table entry behind handle, or null; call with portsLock held.
Port* Slot(HANDLE handle) {
  uintptr_t value = reinterpret_cast<uintptr_t>(handle);
  if (value < FIRST_HANDLE || (value - FIRST_HANDLE) % 4 != 0) return nullptr;
  uintptr_t slot = (value - FIRST_HANDLE) / 4;
  if (slot >= MAX_PORTS || ports[slot].fd < 0) return nullptr;
  return &ports[slot];
}

// A copy of the port, so that a read waiting for the box holds no lock.
bool FindPort(HANDLE handle, Port* port) {
  std::lock_guard<std::mutex> guard(portsLock);
  Port* found = Slot(handle);
  if (found == nullptr) return false;
  *port = *found;
  return true;
}

HANDLE AddPort(int fd, bool exclusive) {
  std::lock_guard<std::mutex> guard(portsLock);
  for (int slot = 0; slot < MAX_PORTS; ++slot) {
    if (ports[slot].fd >= 0) continue;
    ports[slot] = Port{fd, exclusive, {}};
    return reinterpret_cast<HANDLE>(FIRST_HANDLE + 4 * static_cast<uintptr_t>(slot));
  }
  return INVALID_HANDLE_VALUE;
}

// ---- Settings ---------------------------------------------------------------------------------

struct Speed {
  DWORD rate;
  unsigned code;
};

// The rates with a termios code of their own; any other rate is set by number (BOTHER), which
// is how Windows' 14400, 56000, 128000 and 256000 get through.
const Speed SPEEDS[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

unsigned SpeedCode(DWORD rate) {
  for (const Speed& speed : SPEEDS) {
    if (speed.rate == rate) return speed.code;
  }
  return BOTHER;
}

unsigned SizeFlag(BYTE byteSize) {
  switch (byteSize) {
    case 5:
      return CS5;
    case 6:
      return CS6;
    case 7:
      return CS7;
    default:
      return CS8;
  }
}

BYTE ByteSize(unsigned cflag) {
  switch (cflag & CSIZE) {
    case CS5:
      return 5;
    case CS6:
      return 6;
    case CS7:
      return 7;
    default:
      return 8;
  }
}

unsigned ParityFlags(BYTE parity) {
  switch (parity) {
    case ODDPARITY:
      return PARENB | PARODD;
    case EVENPARITY:
      return PARENB;
    case MARKPARITY:
      return PARENB | CMSPAR | PARODD;
    case SPACEPARITY:
      return PARENB | CMSPAR;
    default:
      return 0;
  }
}

BYTE Parity(unsigned cflag) {
  if ((cflag & PARENB) == 0) return NOPARITY;
  if ((cflag & CMSPAR) != 0) return (cflag & PARODD) != 0 ? MARKPARITY : SPACEPARITY;
  return (cflag & PARODD) != 0 ? ODDPARITY : EVENPARITY;
}

// Raises or drops one modem-control line. A pseudo-terminal or a USB device without them
// refuses; Windows drivers of such devices accept the setting and ignore it, so do we.
void SetModemLine(int fd, int line, bool raised) { ioctl(fd, raised ? TIOCMBIS : TIOCMBIC, &line); }

// ---- Reading ----------------------------------------------------------------------------------

// Bytes read from a port but not yet asked for. The controller reads one byte per call, and a
// box's line arrives in one piece: one read takes the whole line, and the calls after it are
// served from here without a system call. One reader per port, as on Windows without
// overlapped I/O. Closing the port or purging its input empties it, as it empties the
// driver's buffer on Windows.
struct ReadAhead {
  int fd = -1;
  size_t start = 0, end = 0;
  char bytes[256];
};

ReadAhead readAhead[MAX_PORTS];

// The read-ahead of a valid handle's port.
ReadAhead& ReadAheadOf(HANDLE handle, int fd) {
  ReadAhead& ahead = readAhead[(reinterpret_cast<uintptr_t>(handle) - FIRST_HANDLE) / 4];
  if (ahead.fd != fd) {
    ahead.fd = fd;
    ahead.start = ahead.end = 0;
  }
  return ahead;
}

void ForgetReadAhead(HANDLE handle) { ReadAheadOf(handle, -1); }

// Like read(2), but takes whatever is waiting into the read-ahead and serves from there.
ssize_t ReadBuffered(ReadAhead& ahead, char* into, size_t wanted) {
  if (ahead.start == ahead.end) {
    const ssize_t count = read(ahead.fd, ahead.bytes, sizeof ahead.bytes);
    if (count <= 0) return count;
    ahead.start = 0;
    ahead.end = static_cast<size_t>(count);
  }
  const size_t taken = std::min(wanted, ahead.end - ahead.start);
  memcpy(into, ahead.bytes + ahead.start, taken);
  ahead.start += taken;
  return static_cast<ssize_t>(taken);
}

const uint64_t FOREVER = UINT64_MAX;

uint64_t NowMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

// 1 when the port has input or its other end is gone (the read tells which), 0 once the
// deadline (milliseconds on the monotonic clock) has passed, -1 when the port cannot be polled.
int WaitForInput(int fd, uint64_t deadline) {
  for (;;) {
    int timeout = -1;
    if (deadline != FOREVER) {
      uint64_t now = NowMs();
      timeout = now >= deadline ? 0 : static_cast<int>(std::min<uint64_t>(deadline - now, INT_MAX));
    }
    pollfd input = {fd, POLLIN, 0};
    int ready = poll(&input, 1, timeout);
    if (ready > 0) return 1;
    if (ready == 0 && deadline != FOREVER && NowMs() >= deadline) return 0;
    if (ready < 0 && errno != EINTR) return -1;
  }
}

}  // namespace

namespace posix {

std::string ComPortDevicePath(const char* name) {
  if (name == nullptr) return std::string();
  const char* number = name;
  if (strncmp(number, "\\\\.\\", 4) == 0) number += 4;
  if (strncasecmp(number, "COM", 3) != 0) return name;
  number += 3;
  // One to three digits without a leading zero: Windows numbers serial ports from 1 to 256.
  size_t digits = strspn(number, "0123456789");
  if (digits == 0 || digits > 3 || number[digits] != 0 || number[0] == '0') return name;
  int port = atoi(number);
  if (port > 256) return name;
  return "/dev/ttyS" + std::to_string(port - 1);
}

}  // namespace posix

extern "C" {

DWORD GetLastError(void) { return lastError; }

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/, DWORD dwCreationDisposition,
                   DWORD /*dwFlagsAndAttributes*/, HANDLE /*hTemplateFile*/) {
  // Devices can only be opened, never created or truncated.
  if (lpFileName == nullptr || dwCreationDisposition != OPEN_EXISTING) {
    lastError = ERROR_INVALID_PARAMETER;
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
    lastError = missing ? ERROR_FILE_NOT_FOUND : ErrorFromErrno(errno);
    return INVALID_HANDLE_VALUE;
  }
  bool exclusive = dwShareMode == 0;
  if (exclusive) {
    // The lock conflicts between any two opens, within this process too, and binds root;
    // TIOCEXCL also keeps out programs that take no lock (a refusal means: not a terminal).
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      lastError = ERROR_ACCESS_DENIED;
      close(fd);
      return INVALID_HANDLE_VALUE;
    }
    ioctl(fd, TIOCEXCL);
  }
  HANDLE handle = AddPort(fd, exclusive);
  if (handle == INVALID_HANDLE_VALUE) {
    lastError = ERROR_TOO_MANY_OPEN_FILES;
    if (exclusive) ioctl(fd, TIOCNXCL);
    close(fd);
  }
  return handle;
}

BOOL CloseHandle(HANDLE hObject) {
  Port port;
  {
    std::lock_guard<std::mutex> guard(portsLock);
    Port* slot = Slot(hObject);
    if (slot == nullptr) return Fail(ERROR_INVALID_HANDLE);
    port = *slot;
    *slot = Port{};
  }
  // Exclusivity belongs to the terminal, not the descriptor: give it up before closing, or
  // a terminal someone else still holds open stays barred.
  if (port.exclusive) ioctl(port.fd, TIOCNXCL);
  close(port.fd);
  ForgetReadAhead(hObject);
  return TRUE;
}

BOOL GetCommState(HANDLE hFile, LPDCB lpDCB) {
  if (lpDCB == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  Port port;
  if (!FindPort(hFile, &port)) return Fail(ERROR_INVALID_HANDLE);
  termios2 settings;
  if (ioctl(port.fd, TCGETS2, &settings) != 0) return Fail(ErrorFromErrno(errno));
  int lines = 0;
  if (ioctl(port.fd, TIOCMGET, &lines) != 0) lines = 0;  // no modem-control lines

  DCB state = {};
  state.DCBlength = sizeof(DCB);
  state.BaudRate = settings.c_ospeed;
  state.fBinary = 1;
  state.fParity = (settings.c_iflag & INPCK) != 0;
  state.fOutxCtsFlow = (settings.c_cflag & CRTSCTS) != 0;
  state.fDtrControl = (lines & TIOCM_DTR) != 0 ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
  // Linux keeps sending after it has sent XOFF itself.
  state.fTXContinueOnXoff = 1;
  state.fOutX = (settings.c_iflag & IXON) != 0;
  state.fInX = (settings.c_iflag & IXOFF) != 0;
  if ((settings.c_cflag & CRTSCTS) != 0) {
    state.fRtsControl = RTS_CONTROL_HANDSHAKE;
  } else {
    state.fRtsControl = (lines & TIOCM_RTS) != 0 ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
  }
  state.ByteSize = ByteSize(settings.c_cflag);
  state.Parity = Parity(settings.c_cflag);
  if ((settings.c_cflag & CSTOPB) == 0) {
    state.StopBits = ONESTOPBIT;
  } else {
    state.StopBits = state.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
  }
  state.XonChar = static_cast<char>(settings.c_cc[VSTART]);
  state.XoffChar = static_cast<char>(settings.c_cc[VSTOP]);
  *lpDCB = state;
  return TRUE;
}

BOOL SetCommState(HANDLE hFile, LPDCB lpDCB) {
  if (lpDCB == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const DCB& state = *lpDCB;
  DWORD refused = posix::CommStateError(state);
  if (refused != ERROR_SUCCESS) return Fail(refused);
  Port port;
  if (!FindPort(hFile, &port)) return Fail(ERROR_INVALID_HANDLE);
  termios2 settings;
  if (ioctl(port.fd, TCGETS2, &settings) != 0) return Fail(ErrorFromErrno(errno));

  // Raw bytes as on Windows: no line editing, echo, signals, translation or output processing.
  settings.c_iflag &=
      ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK);
  settings.c_oflag &= ~OPOST;
  settings.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  settings.c_cflag &= ~(CBAUD | CIBAUD | CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  // CLOCAL: the box has no carrier line to wait for or to hang up on.
  settings.c_cflag |= CREAD | CLOCAL | SpeedCode(state.BaudRate) | SizeFlag(state.ByteSize) |
                      ParityFlags(state.Parity);
  settings.c_ispeed = state.BaudRate;
  settings.c_ospeed = state.BaudRate;
  if (state.StopBits != ONESTOPBIT) settings.c_cflag |= CSTOPB;
  // Linux has one switch for both directions of hardware flow control.
  if (state.fOutxCtsFlow || state.fRtsControl == RTS_CONTROL_HANDSHAKE) {
    settings.c_cflag |= CRTSCTS;
  }
  if (state.fParity) settings.c_iflag |= INPCK;
  if (state.fOutX) settings.c_iflag |= IXON;
  if (state.fInX) settings.c_iflag |= IXOFF;
  settings.c_cc[VSTART] = static_cast<cc_t>(state.XonChar);
  settings.c_cc[VSTOP] = static_cast<cc_t>(state.XoffChar);
  settings.c_cc[VMIN] = 1;
  settings.c_cc[VTIME] = 0;
  if (ioctl(port.fd, TCSETS2, &settings) != 0) return Fail(ErrorFromErrno(errno));

  SetModemLine(port.fd, TIOCM_DTR, state.fDtrControl != DTR_CONTROL_DISABLE);
  if (state.fRtsControl != RTS_CONTROL_HANDSHAKE) {
    SetModemLine(port.fd, TIOCM_RTS, state.fRtsControl != RTS_CONTROL_DISABLE);
  }
  return TRUE;
}

BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  if (lpCommTimeouts == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  std::lock_guard<std::mutex> guard(portsLock);
  Port* port = Slot(hFile);
  if (port == nullptr) return Fail(ERROR_INVALID_HANDLE);
  port->timeouts = *lpCommTimeouts;
  return TRUE;
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
  if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = 0;
  if (lpOverlapped != nullptr || lpNumberOfBytesRead == nullptr ||
      (lpBuffer == nullptr && nNumberOfBytesToRead > 0)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  Port port;
  if (!FindPort(hFile, &port)) return Fail(ERROR_INVALID_HANDLE);

  // Windows' read timeouts: a total time for the whole read, multiplier times bytes plus
  // constant (none when both are 0), and an interval allowed between two bytes (none when 0).
  // Two combinations mean something else: MAXDWORD, 0, 0 returns at once with what is
  // there; MAXDWORD, MAXDWORD, a constant below MAXDWORD waits up to the constant for the
  // first byte and then returns at once with what is there.
  const COMMTIMEOUTS& limits = port.timeouts;
  const uint64_t interval = limits.ReadIntervalTimeout;
  const uint64_t start = NowMs();
  uint64_t totalDeadline = FOREVER;
  bool firstByteEnds = false;
  if (interval == MAXDWORD && limits.ReadTotalTimeoutMultiplier == 0 &&
      limits.ReadTotalTimeoutConstant == 0) {
    totalDeadline = start;
  } else if (interval == MAXDWORD && limits.ReadTotalTimeoutMultiplier == MAXDWORD &&
             limits.ReadTotalTimeoutConstant != 0 && limits.ReadTotalTimeoutConstant != MAXDWORD) {
    totalDeadline = start + limits.ReadTotalTimeoutConstant;
    firstByteEnds = true;
  } else if (limits.ReadTotalTimeoutMultiplier != 0 || limits.ReadTotalTimeoutConstant != 0) {
    totalDeadline = start + uint64_t{limits.ReadTotalTimeoutMultiplier} * nNumberOfBytesToRead +
                    limits.ReadTotalTimeoutConstant;
  }

  ReadAhead& ahead = ReadAheadOf(hFile, port.fd);
  char* into = static_cast<char*>(lpBuffer);
  DWORD received = 0;
  uint64_t lastByte = start;
  while (received < nNumberOfBytesToRead) {
    uint64_t deadline = totalDeadline;
    if (received > 0 && firstByteEnds) {
      deadline = 0;
    } else if (received > 0 && interval != 0) {
      deadline = std::min(deadline, lastByte + interval);
    }
    // Bytes already waiting are taken without a poll first: a box's line arrives in one piece,
    // and the controller reads it one byte at a time, so most reads find their byte there.
    ssize_t count = ReadBuffered(ahead, into + received, nNumberOfBytesToRead - received);
    if (count < 0 && errno == EAGAIN) {
      int ready;
      {
        posix::AtRest atRest;
        ready = WaitForInput(port.fd, deadline);
      }
      if (ready == 0) break;  // timed out: a success with what has arrived
      count =
          ready < 0 ? -1 : ReadBuffered(ahead, into + received, nNumberOfBytesToRead - received);
    }
    if (count > 0) {
      received += static_cast<DWORD>(count);
      lastByte = NowMs();
      continue;
    }
    if (count < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    // End of file or EIO: the other end hung up (pseudo-terminal closed, adapter unplugged).
    *lpNumberOfBytesRead = received;
    return Fail(count == 0 ? ERROR_OPERATION_ABORTED : ErrorFromErrno(errno));
  }
  *lpNumberOfBytesRead = received;
  return TRUE;
}

BOOL PurgeComm(HANDLE hFile, DWORD dwFlags) {
  const DWORD known = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
  if ((dwFlags & ~known) != 0) return Fail(ERROR_INVALID_PARAMETER);
  Port port;
  if (!FindPort(hFile, &port)) return Fail(ERROR_INVALID_HANDLE);
  // The abort flags end overlapped reads and writes; without overlapped I/O no call of ours is
  // ever pending when another starts, so there is nothing to abandon. The clear flags empty
  // the driver's buffers.
  int queues = -1;
  if ((dwFlags & PURGE_RXCLEAR) != 0) {
    queues = TCIFLUSH;
    ForgetReadAhead(hFile);
  }
  if ((dwFlags & PURGE_TXCLEAR) != 0) queues = queues == TCIFLUSH ? TCIOFLUSH : TCOFLUSH;
  if (queues >= 0 && ioctl(port.fd, TCFLSH, queues) != 0) return Fail(ErrorFromErrno(errno));
  return TRUE;
}

}  // extern "C"
