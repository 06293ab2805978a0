// The process services a Windows program gets from kernel32 and user32: its whole command line
// as one string (GetCommandLineA), a message box (here the message goes to standard error, as
// a program without a desktop has nowhere else to put it), Sleep and GetTickCount, both on the
// one clock (clock.h). And what Windows does not need: the options a Linux program answers
// (--help, --version), and a stop from outside (SIGTERM, SIGINT) that lets the program finish
// what it took first.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/posix/clock.h"
#include "platform/posix/posix.h"
#include "platform/text.h"
#include "platform/win32.h"

namespace {

// How the command-line splitter takes an argument back unchanged: as it stands, unless it is
// empty, holds whitespace or starts with a quote; then in quotes. (An argument holding a
// quote followed by whitespace cannot be written so that the splitter keeps it whole.)
void AppendArgument(std::string* line, const std::string& argument) {
  bool quote = argument.empty() || argument[0] == '"';
  for (char c : argument) quote = quote || IsWhitespace(c);
  if (!line->empty()) *line += ' ';
  if (quote) *line += '"';
  *line += argument;
  if (quote) *line += '"';
}

// The arguments the process was started with, each ended by a NUL.
std::string StartArguments() {
  std::string arguments;
  int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return arguments;
  char chunk[4096];
  ssize_t count;
  while ((count = read(fd, chunk, sizeof chunk)) > 0 || (count < 0 && errno == EINTR)) {
    if (count > 0) arguments.append(chunk, static_cast<size_t>(count));
  }
  close(fd);
  return arguments;
}

std::string BuildCommandLine() {
  std::string arguments = StartArguments();
  std::string line;
  size_t start = 0;
  while (start < arguments.size()) {
    size_t end = arguments.find('\0', start);
    if (end == std::string::npos) end = arguments.size();
    AppendArgument(&line, arguments.substr(start, end - start));
    start = end + 1;
  }
  return line;
}

// ---- Stops from outside ----------------------------------------------------------------------

// How many threads are at rest. Never destroyed: a stop may come while a process that returned
// from main destroys its statics.
struct Rest {
  std::mutex lock;
  std::condition_variable changed;
  int threadsAtRest = 0;
};

Rest& TheRest() {
  static Rest* rest = new Rest;
  return *rest;
}

sigset_t stopSignals;
void (*beforeStopEnds)(posix::Clock::time_point deadline) = nullptr;

// Ends the process by the signal itself, so whoever started it sees the status it always saw.
[[noreturn]] void EndBy(int signal) {
  struct sigaction byDefault = {};
  byDefault.sa_handler = SIG_DFL;
  sigemptyset(&byDefault.sa_mask);
  sigaction(signal, &byDefault, nullptr);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal);
  pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  raise(signal);
  _exit(128 + signal);  // not reached: the signal's default action ends the process
}

// The thread that takes the stop signals: in a thread of its own, not a handler, it may wait
// and lock like any other.
void* AwaitStop(void*) {
  int signal = 0;
  while (sigwait(&stopSignals, &signal) != 0) {
  }
  const auto deadline = posix::Clock::now() + posix::STOP_GRACE;
  Rest& rest = TheRest();
  // Held to the end: the thread at rest takes no further reading while the last ones land.
  std::unique_lock<std::mutex> atRest(rest.lock);
  if (rest.changed.wait_until(atRest, deadline, [&rest] { return rest.threadsAtRest > 0; })) {
    beforeStopEnds(deadline);
  }
  EndBy(signal);
}

// Whether the process was started with the signal ignored.
bool Ignored(int signal) {
  struct sigaction current = {};
  return sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

}  // namespace

namespace posix {

int AnswerOptions(int argc, char* const argv[], const char* name, const char* version,
                  const char* usage) {
  for (int i = 1; i < argc; ++i) {
    const char* option = argv[i];
    if (strncmp(option, "--", 2) != 0) continue;
    if (strcmp(option, "--help") == 0) {
      fputs(usage, stdout);
      return 0;
    }
    if (strcmp(option, "--version") == 0) {
      printf("%s %s\n", name, version);
      return 0;
    }
    fprintf(stderr, "%s: unknown option %s (see %s --help)\n", name, option, name);
    return 2;
  }
  return -1;
}

void EndOnStopSignals(void (*beforeEnding)(Clock::time_point deadline)) {
  sigemptyset(&stopSignals);
  for (int signal : {SIGTERM, SIGINT}) {
    // A blocked signal is queued even when ignored, so an ignored one must stay out.
    if (!Ignored(signal)) sigaddset(&stopSignals, signal);
  }
  beforeStopEnds = beforeEnding;
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  if (pthread_create(&thread, &attributes, AwaitStop, nullptr) != 0) {
    pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
  }
  pthread_attr_destroy(&attributes);
}

void EnterRest() {
  Rest& rest = TheRest();
  {
    std::lock_guard<std::mutex> lock(rest.lock);
    ++rest.threadsAtRest;
  }
  rest.changed.notify_all();
}

void LeaveRest() {
  // The wait that ends here may have failed, and its caller reads errno next.
  const int error = errno;
  Rest& rest = TheRest();
  {
    std::lock_guard<std::mutex> lock(rest.lock);
    --rest.threadsAtRest;
  }
  errno = error;
}

}  // namespace posix

extern "C" {

LPSTR GetCommandLineA(void) {
  // Built once and kept for the whole run, as Windows keeps its copy.
  static std::string commandLine = BuildCommandLine();
  return &commandLine[0];
}

int MessageBoxA(HWND /*hWnd*/, LPCSTR lpText, LPCSTR lpCaption, UINT /*uType*/) {
  fprintf(stderr, "%s: %s\n", lpCaption != nullptr ? lpCaption : "Error",
          lpText != nullptr ? lpText : "");
  return IDOK;
}

void Sleep(DWORD dwMilliseconds) {
  posix::AtRest atRest;
  posix::SleepUntilNs(posix::DeadlineAfterMs(posix::MonotonicNs(), dwMilliseconds));
}

DWORD GetTickCount(void) {
  // Milliseconds, wrapping round after 49.7 days as Windows' count does: callers subtract.
  return static_cast<DWORD>(static_cast<uint64_t>(posix::MonotonicNs()) / 1000000);
}

}  // extern "C"
