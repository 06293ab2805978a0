// The default and application lines of the Windows mixer face: what the callers read and write,
// and how the thread that owns Core Audio carries it there and back.
#include "platform/coreaudio/lines.h"

#include <cstring>

namespace coreaudio {
namespace {

EndpointFlow FlowOf(Device device) { return device == DEFAULT_INPUT ? CAPTURE : RENDER; }

}  // namespace

Lines::Lines(const char* listPath) : list_(listPath, RememberedTable::BY_ID) { list_.Load(); }

bool Lines::Available() {
  Locked locked(mutex_);
  return available_;
}

uint32_t Lines::Applications() {
  Locked locked(mutex_);
  return static_cast<uint32_t>(list_.Count());
}

bool Lines::ApplicationName(uint32_t place, char* name, size_t size) {
  Locked locked(mutex_);
  if (place >= list_.Count() || size == 0) return false;
  const char* listed = list_.At(place).name;
  const size_t length = strlen(listed) < size - 1 ? strlen(listed) : size - 1;
  memcpy(name, listed, length);
  name[length] = '\0';
  return true;
}

LineValue Lines::Read(Device device, uint32_t destination) {
  Locked locked(mutex_);
  if (device != APPLICATIONS) {
    const DefaultLine& line = defaults_[FlowOf(device)];
    return line.pending.waiting ? line.pending.value : line.shown;
  }
  if (destination >= list_.Count()) return FULL_LINE;
  const ApplicationLine& line = applications_[destination];
  return line.pending.waiting ? line.pending.value : line.shown;
}

bool Lines::Write(Device device, uint32_t destination, LineValue value) {
  {
    Locked locked(mutex_);
    if (device != APPLICATIONS) {
      DefaultLine& line = defaults_[FlowOf(device)];
      // A value made from another default's balance must not be laid on the new one's.
      if (!line.pending.waiting) line.writtenFrom = line.endpoint;
      line.pending = Pending{true, value};
    } else {
      if (destination >= list_.Count()) return false;
      ApplicationLine& line = applications_[destination];
      line.pending = Pending{true, value};
      line.written = true;
      line.kept = value;
    }
  }
  if (wake_ != nullptr) wake_(wakeContext_);
  return true;
}

void Lines::SetWake(void (*wake)(void*), void* context) {
  wake_ = wake;
  wakeContext_ = context;
}

void Lines::SetAvailable(bool available) {
  Locked locked(mutex_);
  available_ = available;
}

void Lines::Service(AudioSystem& system, bool rescan) {
  Pending defaults[2];
  uint32_t writtenFrom[2] = {};
  Pending applications[REMEMBERED_ENTRIES];
  LineValue kept[REMEMBERED_ENTRIES];
  bool written[REMEMBERED_ENTRIES] = {};
  size_t applicationCount = 0;
  {
    Locked locked(mutex_);
    if (rescan) list_.Load();
    for (int flow = 0; flow < 2; ++flow) {
      defaults[flow] = defaults_[flow].pending;
      writtenFrom[flow] = defaults_[flow].writtenFrom;
      defaults_[flow].pending.waiting = false;
    }
    applicationCount = list_.Count();
    for (size_t place = 0; place < applicationCount; ++place) {
      ApplicationLine& line = applications_[place];
      applications[place] = line.pending;
      // What the line stands for from now on, also while none of its sessions plays.
      if (line.pending.waiting) line.shown = line.pending.value;
      line.pending.waiting = false;
    }
  }
  for (int flow = 0; flow < 2; ++flow) {
    if (defaults[flow].waiting) {
      SendDefault(system, static_cast<EndpointFlow>(flow), defaults[flow].value, writtenFrom[flow]);
    }
  }
  if (rescan) {
    earlierCount_ = sessionCount_;
    for (int i = 0; i < sessionCount_; ++i) earlier_[i] = sessions_[i].instance;
    sessionCount_ = 0;
    system.ScanSessions(SessionFound, this);
    Locked locked(mutex_);
    // The scan may have listed new applications.
    applicationCount = list_.Count();
    for (size_t place = 0; place < applicationCount; ++place) {
      written[place] = applications_[place].written;
      kept[place] = applications_[place].kept;
    }
  }
  for (int i = 0; i < sessionCount_; ++i) {
    const int place = sessions_[i].place;
    if (place < 0 || static_cast<size_t>(place) >= applicationCount) continue;
    if (applications[place].waiting) {
      SendApplication(system, i, applications[place].value);
    } else if (sessions_[i].fresh && written[place]) {
      // A session not seen before takes its line's last value, so an application that opens
      // a session per song does not come back at full volume.
      SendApplication(system, i, kept[place]);
    }
  }
  if (rescan) ReadBack(system);
}

void Lines::SessionFound(void* context, int session, const SessionFacts& facts) {
  static_cast<Lines*>(context)->TakeSession(session, facts);
}

// A session is its executable's from its first scan, active or not.
void Lines::TakeSession(int session, const SessionFacts& facts) {
  if (session != sessionCount_ || sessionCount_ >= MAX_SESSIONS) return;
  char id[APPLICATION_FIELD_BYTES], name[APPLICATION_FIELD_BYTES];
  int place = -1;
  if (NameOfSession(facts, id, name)) {
    Locked locked(mutex_);
    place = list_.Remember(id, name);
  }
  const uint32_t instance = Fingerprint(facts.instance);
  bool seen = false;
  for (int i = 0; i < earlierCount_ && !seen; ++i) seen = earlier_[i] == instance;
  sessions_[sessionCount_++] = Session{instance, place, !seen};
}

// A value written while there is no default waits for one. One made from another endpoint's
// balance (the default moved between the caller's read and its write) sets only the loudest
// channel of the new one, which keeps its own balance.
void Lines::SendDefault(AudioSystem& system, EndpointFlow flow, LineValue value, uint32_t from) {
  Levels before;
  uint32_t endpoint = 0;
  if (!system.ReadDefault(flow, &before, &endpoint)) {
    Locked locked(mutex_);
    DefaultLine& line = defaults_[flow];
    if (!line.pending.waiting) line.pending = Pending{true, value};
    line.endpoint = 0;
    return;
  }
  const Levels after = OntoEndpoint(value, before, endpoint != from);
  system.WriteDefault(flow, after);
  Locked locked(mutex_);
  defaults_[flow].endpoint = endpoint;
  defaults_[flow].shown = LineOfEndpoint(after);
}

void Lines::SendApplication(AudioSystem& system, int session, LineValue value) {
  float master = 0.0f;
  Levels channels;
  if (!system.ReadSession(session, &master, &channels)) return;
  OntoSession(value, channels, &master, &channels);
  system.WriteSession(session, master, channels);
  Locked locked(mutex_);
  applications_[sessions_[session].place].shown = LineOfSession(master, channels);
}

// What the callers see: each default as it is now, and each application as its first session
// is, or as last written while it has none.
void Lines::ReadBack(AudioSystem& system) {
  for (int flow = 0; flow < 2; ++flow) {
    Levels levels;
    uint32_t endpoint = 0;
    const bool there = system.ReadDefault(static_cast<EndpointFlow>(flow), &levels, &endpoint);
    Locked locked(mutex_);
    defaults_[flow].endpoint = there ? endpoint : 0;
    if (there) defaults_[flow].shown = LineOfEndpoint(levels);
  }
  bool read[REMEMBERED_ENTRIES] = {};
  for (int i = 0; i < sessionCount_; ++i) {
    const int place = sessions_[i].place;
    float master = 0.0f;
    Levels channels;
    if (place < 0 || read[place] || !system.ReadSession(i, &master, &channels)) continue;
    read[place] = true;
    Locked locked(mutex_);
    applications_[place].shown = LineOfSession(master, channels);
  }
  Locked locked(mutex_);
  for (size_t place = 0; place < list_.Count(); ++place) {
    if (!read[place]) {
      applications_[place].shown =
          applications_[place].written ? applications_[place].kept : FULL_LINE;
    }
  }
}

}  // namespace coreaudio
