// Reading a Windows serial port: SetCommTimeouts, ReadFile and PurgeComm as kernel32 gives
// them. COMMTIMEOUTS decide how long a read waits, with the same special combinations; a port
// whose other end went away fails its reads, as a Windows port does after its adapter is
// unplugged; and purging the input empties what was read ahead, as it empties the driver's
// buffer on Windows.
#include <errno.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>

#include "platform/posix/clock.h"
#include "platform/posix/port_table.h"
#include "platform/posix/posix.h"
#include "platform/win32.h"

namespace {

std::atomic<void (*)()> enterWait{nullptr};
std::atomic<void (*)()> leaveWait{nullptr};

// Like read(2) on the port's descriptor, but through the port's read-ahead: the controller
// reads one byte per call, and a box's line arrives in one piece, so one read takes the whole
// line and the calls after it are served without a system call. One reader per port, as on
// Windows without overlapped I/O. -1 with EBADF once the handle no longer names that port.
ssize_t ReadBuffered(HANDLE handle, int fd, char* into, size_t wanted) {
  ssize_t result = -1;
  int error = EBADF;
  posix::WithPort(handle, [&](posix::Port& port) {
    if (port.fd != fd) return;  // closed, and the slot given to another port
    posix::ReadAhead& ahead = port.ahead;
    if (ahead.start == ahead.end) {
      const ssize_t count = read(fd, ahead.bytes, sizeof ahead.bytes);
      error = errno;
      if (count <= 0) {
        result = count;
        return;
      }
      ahead.start = 0;
      ahead.end = static_cast<size_t>(count);
    }
    const size_t taken = std::min(wanted, ahead.end - ahead.start);
    memcpy(into, ahead.bytes + ahead.start, taken);
    ahead.start += taken;
    result = static_cast<ssize_t>(taken);
  });
  if (result < 0) errno = error;
  return result;
}

const uint64_t FOREVER = UINT64_MAX;

uint64_t NowMs() { return static_cast<uint64_t>(posix::MonotonicNs() / 1000000); }

// 1 when the port has input or its other end is gone (the read tells which), 0 once the
// deadline (milliseconds on the monotonic clock) has passed, -1 when the port cannot be polled.
int Poll(int fd, uint64_t deadline) {
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

// Poll, inside what the program asked to happen while a read waits.
int WaitForInput(int fd, uint64_t deadline) {
  void (*enter)() = enterWait.load();
  void (*leave)() = leaveWait.load();
  if (enter != nullptr) enter();
  const int ready = Poll(fd, deadline);
  const int error = errno;  // read next by the caller when the poll failed
  if (leave != nullptr) leave();
  errno = error;
  return ready;
}

}  // namespace

namespace posix {

void OnReadWait(void (*enter)(), void (*leave)()) {
  leaveWait.store(leave);
  enterWait.store(enter);
}

}  // namespace posix

extern "C" {

BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  if (lpCommTimeouts == nullptr) return posix::Fail(ERROR_INVALID_PARAMETER);
  const COMMTIMEOUTS timeouts = *lpCommTimeouts;
  if (!posix::WithPort(hFile, [&timeouts](posix::Port& port) { port.timeouts = timeouts; })) {
    return posix::Fail(ERROR_INVALID_HANDLE);
  }
  return TRUE;
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
  if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = 0;
  if (lpOverlapped != nullptr || lpNumberOfBytesRead == nullptr ||
      (lpBuffer == nullptr && nNumberOfBytesToRead > 0)) {
    return posix::Fail(ERROR_INVALID_PARAMETER);
  }
  int fd = -1;
  COMMTIMEOUTS limits = {};
  const bool open = posix::WithPort(hFile, [&](posix::Port& port) {
    fd = port.fd;
    limits = port.timeouts;
  });
  if (!open) return posix::Fail(ERROR_INVALID_HANDLE);

  // Windows' read timeouts: a total time for the whole read, multiplier times bytes plus
  // constant (none when both are 0), and an interval allowed between two bytes (none when 0).
  // Two combinations mean something else: MAXDWORD, 0, 0 returns at once with what is
  // there; MAXDWORD, MAXDWORD, a constant below MAXDWORD waits up to the constant for the
  // first byte and then returns at once with what is there.
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
    ssize_t count = ReadBuffered(hFile, fd, into + received, nNumberOfBytesToRead - received);
    if (count < 0 && errno == EAGAIN) {
      const int ready = WaitForInput(fd, deadline);
      if (ready == 0) break;  // timed out: a success with what has arrived
      count = ready < 0 ? -1
                        : ReadBuffered(hFile, fd, into + received, nNumberOfBytesToRead - received);
    }
    if (count > 0) {
      received += static_cast<DWORD>(count);
      lastByte = NowMs();
      continue;
    }
    if (count < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    // End of file or EIO: the other end hung up (pseudo-terminal closed, adapter unplugged).
    *lpNumberOfBytesRead = received;
    return posix::Fail(count == 0 ? ERROR_OPERATION_ABORTED : posix::ErrorFromErrno(errno));
  }
  *lpNumberOfBytesRead = received;
  return TRUE;
}

BOOL PurgeComm(HANDLE hFile, DWORD dwFlags) {
  const DWORD known = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
  if ((dwFlags & ~known) != 0) return posix::Fail(ERROR_INVALID_PARAMETER);
  int fd = -1;
  const bool open = posix::WithPort(hFile, [&](posix::Port& port) {
    fd = port.fd;
    if ((dwFlags & PURGE_RXCLEAR) != 0) port.ahead = posix::ReadAhead{};
  });
  if (!open) return posix::Fail(ERROR_INVALID_HANDLE);
  // The abort flags end overlapped reads and writes; without overlapped I/O no call of ours is
  // ever pending when another starts, so there is nothing to abandon. The clear flags empty
  // the driver's buffers.
  int queues = -1;
  if ((dwFlags & PURGE_RXCLEAR) != 0) queues = TCIFLUSH;
  if ((dwFlags & PURGE_TXCLEAR) != 0) queues = queues == TCIFLUSH ? TCIOFLUSH : TCOFLUSH;
  if (queues >= 0 && ioctl(fd, TCFLSH, queues) != 0)
    return posix::Fail(posix::ErrorFromErrno(errno));
  return TRUE;
}

}  // extern "C"
