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
#include <cstdint>
#include <cstring>

#include "platform/posix/clock.h"
#include "platform/posix/port_table.h"
#include "platform/posix/posix.h"
#include "platform/win32.h"

namespace {

std::atomic<void (*)()> enterWait{nullptr};
std::atomic<void (*)()> leaveWait{nullptr};

// What one look at a port handed over, and why it stopped short of what was asked.
struct Look {
  int fd = -1;                 // the port's descriptor
  COMMTIMEOUTS timeouts = {};  // the port's timeouts, as SetCommTimeouts left them
  DWORD taken = 0;             // bytes handed over
  int error = 0;  // 0: all asked for; EAGAIN: nothing more yet; END_OF_INPUT, an errno: failed
};

// read(2)'s "0": the other end hung up (pseudo-terminal closed).
constexpr int END_OF_INPUT = -1;

// Hands over up to `wanted` bytes from the port's read-ahead, refilling it with one read(2)
// of the descriptor each time it runs dry, all under one hold of the table's lock. The
// controller reads one byte per call and a box's line arrives in one piece, so one read takes
// the whole line and the calls after it cost one lock and a copy, no system call and no clock.
// fd: the descriptor the caller's read began on, -1 on its first look; EBADF once the handle
// no longer names that port (closed, and the slot given to another). One reader per port, as
// on Windows without overlapped I/O.
Look TakeWaiting(HANDLE handle, int fd, char* into, DWORD wanted) {
  Look look;
  look.error = EBADF;
  posix::WithPort(handle, [&](posix::Port& port) {
    if (fd >= 0 && port.fd != fd) return;
    look.fd = port.fd;
    look.timeouts = port.timeouts;
    look.error = 0;
    posix::ReadAhead& ahead = port.ahead;
    while (look.taken < wanted) {
      if (ahead.start == ahead.end) {
        const ssize_t count = read(port.fd, ahead.bytes, sizeof ahead.bytes);
        if (count <= 0) {
          look.error = count == 0 ? END_OF_INPUT : errno;
          return;
        }
        ahead.start = 0;
        ahead.end = static_cast<size_t>(count);
      }
      const size_t taken = std::min<size_t>(wanted - look.taken, ahead.end - ahead.start);
      memcpy(into + look.taken, ahead.bytes + ahead.start, taken);
      ahead.start += taken;
      look.taken += static_cast<DWORD>(taken);
    }
  });
  return look;
}

// How long a read may wait, from Windows' read timeouts: a total time for the whole read,
// multiplier times bytes plus constant (none when both are 0), and an interval allowed between
// two bytes (none when 0). Two combinations mean something else: MAXDWORD, 0, 0 returns at
// once with what is there; MAXDWORD, MAXDWORD, a constant below MAXDWORD waits up to the
// constant for the first byte and then returns at once with what is there.
class ReadLimits {
 public:
  ReadLimits(const COMMTIMEOUTS& limits, DWORD wanted) : interval_(limits.ReadIntervalTimeout) {
    if (interval_ == MAXDWORD && limits.ReadTotalTimeoutMultiplier == 0 &&
        limits.ReadTotalTimeoutConstant == 0) {
      neverWaits_ = true;
    } else if (interval_ == MAXDWORD && limits.ReadTotalTimeoutMultiplier == MAXDWORD &&
               limits.ReadTotalTimeoutConstant != 0 &&
               limits.ReadTotalTimeoutConstant != MAXDWORD) {
      totalMs_ = limits.ReadTotalTimeoutConstant;
      firstByteEnds_ = true;
    } else if (limits.ReadTotalTimeoutMultiplier != 0 || limits.ReadTotalTimeoutConstant != 0) {
      totalMs_ = uint64_t{limits.ReadTotalTimeoutMultiplier} * wanted;
      totalMs_ += std::min<uint64_t>(limits.ReadTotalTimeoutConstant, UINT64_MAX - totalMs_);
    }
  }

  // Whether a read that has received bytes so far and found no more may wait for them at all.
  bool MayWait(DWORD received) const { return !neverWaits_ && !(firstByteEnds_ && received > 0); }

  // Until when a read that began at startNs may wait, having received bytes so far, the last
  // of them at lastByteNs.
  int64_t DeadlineNs(int64_t startNs, DWORD received, int64_t lastByteNs) const {
    int64_t deadline = posix::DeadlineAfterMs(startNs, totalMs_);
    if (received > 0 && interval_ != 0) {
      deadline = std::min(deadline, posix::DeadlineAfterMs(lastByteNs, interval_));
    }
    return deadline;
  }

 private:
  uint64_t interval_;
  uint64_t totalMs_ = UINT64_MAX;  // none
  bool neverWaits_ = false;
  bool firstByteEnds_ = false;
};

// Waits for input until the deadline, inside what the program asked to happen while a read
// waits.
int WaitAtRest(int fd, int64_t deadlineNs) {
  void (*enter)() = enterWait.load();
  void (*leave)() = leaveWait.load();
  if (enter != nullptr) enter();
  const int ready = posix::WaitForInputUntil(fd, deadlineNs);
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
  char* into = static_cast<char*>(lpBuffer);
  Look look = TakeWaiting(hFile, -1, into, nNumberOfBytesToRead);
  if (look.fd < 0) return posix::Fail(ERROR_INVALID_HANDLE);
  const int fd = look.fd;
  const ReadLimits limits(look.timeouts, nNumberOfBytesToRead);
  DWORD received = look.taken;

  // The clock is read only before a wait: a read served from what is there never needs it.
  // The read's time starts at its first wait, and the last bytes it took came just before.
  int64_t startNs = -1, lastByteNs = -1;
  while (received < nNumberOfBytesToRead) {
    if (look.error != EAGAIN && look.error != EINTR) {
      // End of file or EIO: the other end hung up (pseudo-terminal closed, adapter unplugged).
      *lpNumberOfBytesRead = received;
      return posix::Fail(look.error == END_OF_INPUT ? ERROR_OPERATION_ABORTED
                                                    : posix::ErrorFromErrno(look.error));
    }
    if (!limits.MayWait(received)) break;
    const int64_t nowNs = posix::MonotonicNs();
    if (startNs < 0) startNs = nowNs;
    if (look.taken > 0) lastByteNs = nowNs;
    const int ready = WaitAtRest(fd, limits.DeadlineNs(startNs, received, lastByteNs));
    if (ready == 0) break;  // timed out: a success with what has arrived
    if (ready < 0) {
      look = Look{};
      look.error = errno;
      continue;
    }
    look = TakeWaiting(hFile, fd, into + received, nNumberOfBytesToRead - received);
    received += look.taken;
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
