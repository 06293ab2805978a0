// The POSIX stand-in for the Windows serial and process functions: what it offers beyond
// those functions, for the Linux entry point and for its own tests.
#ifndef KNOBVANE_PLATFORM_POSIX_POSIX_H
#define KNOBVANE_PLATFORM_POSIX_POSIX_H

#include <chrono>
#include <string>

#include "platform/posix/clock.h"
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

// What a Linux program answers before it does anything else, decided by the first argument
// that starts with "--": --help prints usage to standard output and --version the name and
// version, both with status 0; any other is refused in one line on standard error with
// status 2 (no port or line number starts so). -1 when there is none: the program runs.
int AnswerOptions(int argc, char* const argv[], const char* name, const char* version,
                  const char* usage);

// How long a stop from outside may take: the time to come to rest and let the last writes land.
constexpr std::chrono::milliseconds STOP_GRACE{1000};

// Makes SIGTERM and SIGINT end the process as they do by default, but only once the program's
// thread has come to rest (waiting in ReadFile or Sleep: a caller that reads a byte at a time
// has handed on everything it read) and beforeEnding has returned, both within STOP_GRACE;
// the thread is held at rest meanwhile. Call first thing in main, before any other thread starts,
// so that every thread inherits the signals blocked and a thread of our own takes them. A SIGINT
// ignored at start (a program started in the background of a script) stays ignored. When that
// thread cannot be started, the signals end the process at once, as they do by default.
void EndOnStopSignals(void (*beforeEnding)(Clock::time_point deadline));

// What ReadFile does while it waits for input: enter() on the reading thread before each wait,
// leave() after it (errno is kept across leave). Nothing until a program hands something in;
// the controller hands in EnterRest and LeaveRest, so that a stop may be taken while it waits.
// Call before any port is read.
void OnReadWait(void (*enter)(), void (*leave)());

// Mark the calling thread at rest (waiting for input or for time, with everything it read
// handed on: a stop may be taken then) and no longer so; errno is kept. Paired, as AtRest does.
void EnterRest();
void LeaveRest();

// At rest (EnterRest) for as long as the object lives.
class AtRest {
 public:
  AtRest() { EnterRest(); }
  ~AtRest() { LeaveRest(); }
  AtRest(const AtRest&) = delete;
  AtRest& operator=(const AtRest&) = delete;
};

}  // namespace posix

#endif  // KNOBVANE_PLATFORM_POSIX_POSIX_H
