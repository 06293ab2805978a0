// The lines the Windows mixer face adds after winmm's devices, and what keeps them current: the
// default output's and input's "Master Volume", following the default endpoints, and a line per
// application ever seen (the list in %LOCALAPPDATA%\Knobvane\applications), each setting every
// session of its executable on every render endpoint, now and later.
//
// Two sides share it under its one lock. The mixer's callers read what it holds and hand it
// writes, the newest value winning, and never wait for Core Audio. The thread that owns Core
// Audio calls Service: it sends the writes on, rescans when told to and keeps what the callers
// read current; it alone calls the AudioSystem.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/coreaudio/audio_system.h"
#include "platform/coreaudio/lock.h"
#include "platform/coreaudio/rules.h"
#include "platform/remembered.h"

namespace coreaudio {

// The devices, in mixer order after winmm's.
enum Device { DEFAULT_OUTPUT = 0, DEFAULT_INPUT = 1, APPLICATIONS = 2 };
constexpr uint32_t DEVICES = 3;

// The sessions one scan takes up; more (no desktop has them) are left alone.
constexpr int MAX_SESSIONS = 128;

class Lines {
 public:
  // listPath: the applications' list file, "" to keep it for this run only.
  explicit Lines(const char* listPath);
  Lines(const Lines&) = delete;
  Lines& operator=(const Lines&) = delete;

  // ---- The callers' side ----
  // Whether Core Audio is there: until the owner says so, and when it cannot be created,
  // none of the devices is listed.
  bool Available();
  // The applications' lines: how many, and one's name (copied, cut to size); false past the last.
  uint32_t Applications();
  bool ApplicationName(uint32_t place, char* name, size_t size);
  // A line's value: the newest written until it reached Core Audio, else what was last read
  // there; an application's line with nothing playing shows what was last written to it, else
  // full volume. destination: the application's place; 0 for a default line.
  LineValue Read(Device device, uint32_t destination);
  // Hands a value to the owner's thread, replacing any still waiting for that line, and wakes
  // it (the wake given to SetWake). False for a line that is not there.
  bool Write(Device device, uint32_t destination, LineValue value);

  // ---- The owner's side ----
  // Called after each write is handed over, on the caller's thread; it must not block.
  void SetWake(void (*wake)(void* context), void* context);
  // Core Audio is there, or is not, from now on.
  void SetAvailable(bool available);
  // Sends the waiting writes on; with rescan, takes the list's file, the defaults and the
  // sessions afresh first, a session not seen before taking its line's last value. Then reads
  // back what the callers will see.
  void Service(AudioSystem& system, bool rescan);

 private:
  struct Pending {
    bool waiting = false;
    LineValue value = FULL_LINE;
  };
  struct DefaultLine {
    LineValue shown = FULL_LINE;
    Pending pending;
    uint32_t endpoint = 0;     // the endpoint shown; 0 while there is none
    uint32_t writtenFrom = 0;  // the endpoint shown when the waiting value was written
  };
  struct ApplicationLine {
    LineValue shown = FULL_LINE;
    Pending pending;
    bool written = false;  // kept: a later session takes it
    LineValue kept = FULL_LINE;
  };
  struct Session {
    uint32_t instance;
    int place;   // in the applications' list; -1: not named
    bool fresh;  // not in the scan before
  };

  static void SessionFound(void* context, int session, const SessionFacts& facts);
  void TakeSession(int session, const SessionFacts& facts);
  void SendDefault(AudioSystem& system, EndpointFlow flow, LineValue value, uint32_t from);
  void SendApplication(AudioSystem& system, int session, LineValue value);
  void ReadBack(AudioSystem& system);

  Mutex mutex_;
  bool available_ = false;
  void (*wake_)(void*) = nullptr;
  void* wakeContext_ = nullptr;
  DefaultLine defaults_[2];
  ApplicationLine applications_[REMEMBERED_ENTRIES];
  RememberedTable list_;
  // The last scan's sessions (the owner's thread's alone), by their number in it, and the
  // sessions of the scan before, to tell the new ones.
  Session sessions_[MAX_SESSIONS];
  int sessionCount_ = 0;
  uint32_t earlier_[MAX_SESSIONS];
  int earlierCount_ = 0;
};

}  // namespace coreaudio
