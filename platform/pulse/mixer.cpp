// The Windows multimedia mixer (winmm's mixer* functions) over a PulseAudio server, or
// PipeWire's pulse server, presented the way Windows presents audio endpoints to winmm.
//
// Devices are every sink in index order, then every source that is not a monitor, each with
// one destination line, "Master Volume", carrying the device's own per-channel volume; then
// one last device, "Applications", with one destination line per application in the order
// the application list (applications.h) gives, playing or not. So no number depends on what
// plays. An application is told by its streams' stream-restore id and named by its
// application name; its line sets every stream it has, and remembers the value for streams
// it starts later. Every line has one volume control, 0..65535 in 100 steps. Record sizes,
// flags, handles and written values are checked as winmm checks them, with winmm's codes.
//
// The controller calls the mixer once or twice per reading, up to 2,304 times a second, so
// the server is never waited for on that path. A threaded main loop of our own keeps a cache
// of the server's devices, streams and volumes, kept current by the server's change events;
// reading a volume answers from it, and a write is checked at once and then sent behind the
// caller: at most one write per control on its way, the newest waiting value following when
// it is done, so the last value always lands. Only listing the devices (mixerGetNumDevs,
// mixerOpen) and (re)connecting wait for the server, never longer than ANSWER_TIMEOUT.
//
// Two locks: the main loop's own, held by its thread while it talks to the server, and the
// cache's, held only to read or change the cache. The calls made for every reading take only
// the cache's, so they never wait for the loop's socket I/O; they wake the loop through an
// eventfd when a write is to go. Whoever needs both takes the loop's first.
//
// A handle remembers its device by pulse name, so it keeps naming the same device while others
// come and go, and again once the server is back. Line IDs are fixed per line (the master's,
// or the application's place in the list), so a device that has gone away answers with an
// error instead of handing its line to another. No server is ever started (no autospawn). The
// callers are one thread; everything shared with the main loop's thread is guarded by its lock.
#include <pulse/pulseaudio.h>

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/pulse/applications.h"
#include "platform/win32.h"

namespace {

// A server that has not answered by then is treated as gone, so no call ever hangs.
constexpr pa_usec_t ANSWER_TIMEOUT = 2 * PA_USEC_PER_SEC;

// How long a changed device or stream waits before it is asked for: every write of ours
// changes it too, and asking after each of them, up to 2,304 times a second, doubled the
// server's work. Another program's change shows within this time.
constexpr pa_usec_t REFRESH_DELAY = 10 * PA_USEC_PER_MSEC;

// A session manager may set a stream's volume from its own memory just after the stream
// appears (WirePlumber does). For this long the value written to its application wins.
constexpr pa_usec_t STARTING_TIME = 1 * PA_USEC_PER_SEC;

// Open handles count up from here, far above any device index, so a handle passed where an
// index may stand is never taken for one.
constexpr UINT_PTR FIRST_HANDLE = 0x50410000;

constexpr DWORD MASTER_LINE_ID = 0xFFFF0000u;
// An application's line ID is this plus its place in the list.
constexpr DWORD FIRST_APPLICATION_LINE_ID = 0x00010000u;
constexpr DWORD VOLUME_MAXIMUM = 65535;
constexpr DWORD VOLUME_STEPS = 100;

struct Stream {
  uint32_t index;
  std::string application;  // its application's id
  pa_cvolume volume;
  pa_usec_t appeared;
};

struct Device {
  bool isSink;
  uint32_t index;
  std::string name;  // pulse's unique name: what a handle holds on to
  std::string description;
  pa_cvolume volume;
  bool isApplications = false;  // the device of the application lines
};

struct DeviceKey {
  bool isSink;
  std::string name;
  bool isApplications = false;
};

const Device APPLICATIONS{false, PA_INVALID_INDEX, "", "Applications", {}, true};

// A control written to: the newest value the caller gave, and whether the server has it yet.
// A device's master line, or one stream of an application.
struct Control {
  uint64_t id;  // what the server's answer to a write names
  DeviceKey device;
  uint32_t stream;  // PA_INVALID_INDEX for a master line
  pa_cvolume newest;
  pa_cvolume sent;
  bool inFlight;
  bool waiting;  // newest is still to be sent
};

struct State {
  pa_threaded_mainloop* loop = nullptr;
  bool shutDown = false;
  pa_context* context = nullptr;
  bool listed = false;  // the cache holds the whole server
  int listsPending = 0;
  int queriesPending = 0;
  std::set<std::pair<unsigned, uint32_t>> changed;  // facility and index, still to ask for
  pa_time_event* refresh = nullptr;                 // set while some are
  std::map<uint32_t, Device> sinks, sources;        // by pulse index, monitors left out
  std::map<uint32_t, Stream> streams;
  std::vector<Control> controls;
  uint64_t nextControl = 1;
  pulse::ApplicationList applications{pulse::ApplicationListPath()};
  std::map<std::string, pa_cvolume> written;  // the last value written to each application
  std::mutex cacheLock;                       // guards the above from sinks on
  std::atomic<bool> connected{false};
  int wake = -1;                          // an eventfd the loop watches: a write waits to be sent
  std::map<UINT_PTR, DeviceKey> handles;  // the callers' thread's alone
  UINT_PTR nextHandle = FIRST_HANDLE;
};

// Never destroyed: the controller's static SoundLine objects close their handles at exit,
// possibly after this file's own statics would be gone. The connection is released at exit.
State& TheState() {
  static State* state = new State;
  return *state;
}

void Shutdown();
void OnWake(pa_mainloop_api*, pa_io_event*, int, pa_io_event_flags_t, void*);

// The main loop, started on first use; none once it was shut down at exit.
pa_threaded_mainloop* Loop() {
  State& s = TheState();
  if (s.loop == nullptr && !s.shutDown) {
    s.loop = pa_threaded_mainloop_new();
    if (s.loop == nullptr) return nullptr;
    s.wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(s.loop);
    if (s.wake < 0 || api->io_new(api, s.wake, PA_IO_EVENT_INPUT, OnWake, nullptr) == nullptr ||
        pa_threaded_mainloop_start(s.loop) < 0) {
      pa_threaded_mainloop_free(s.loop);
      if (s.wake >= 0) close(s.wake);
      s.loop = nullptr;
      s.wake = -1;
      return nullptr;
    }
    atexit(Shutdown);
  }
  return s.loop;
}

bool Reachable();
bool Current();

// One mixer call's hold on the cache. Connects first when there is no connection (holding the
// loop's lock only for that); an exact one also brings the cache up to what the server has.
class Session {
 public:
  explicit Session(bool exact = false) {
    State& s = TheState();
    pa_threaded_mainloop* loop = Loop();
    if (loop != nullptr && (exact || !s.connected)) {
      pa_threaded_mainloop_lock(loop);
      exact ? Current() : Reachable();
      pa_threaded_mainloop_unlock(loop);
    }
    s.cacheLock.lock();
  }
  ~Session() { TheState().cacheLock.unlock(); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
};

std::string Text(const char* text) { return text != nullptr ? text : ""; }

// ---- The cache, kept by the main loop's thread -------------------------------------------

void Signal() { pa_threaded_mainloop_signal(TheState().loop, 0); }

void Store(const pa_sink_info& sink) {
  std::lock_guard<std::mutex> cache(TheState().cacheLock);
  TheState().sinks[sink.index] =
      Device{true, sink.index, Text(sink.name), Text(sink.description), sink.volume};
}

void Store(const pa_source_info& source) {
  if (source.monitor_of_sink != PA_INVALID_INDEX) return;
  std::lock_guard<std::mutex> cache(TheState().cacheLock);
  TheState().sources[source.index] =
      Device{false, source.index, Text(source.name), Text(source.description), source.volume};
}

void WriteStream(uint32_t stream, const pa_cvolume& volume);
pa_cvolume OnChannels(const pa_cvolume& volume, uint8_t channels);

// A stream is its application's: the application is added to the list when new, and a stream
// that starts after its application's line was written takes that value.
void Store(const pa_sink_input_info& input) {
  const char* restoreID = pa_proplist_gets(input.proplist, "module-stream-restore.id");
  const char* application = pa_proplist_gets(input.proplist, PA_PROP_APPLICATION_NAME);
  const std::string name = Text(application ? application : input.name);
  // Servers that leave the id out still name the application.
  const std::string given = restoreID ? restoreID : "application-name:" + name;
  State& s = TheState();
  std::lock_guard<std::mutex> cache(s.cacheLock);
  // The list may cut or clean an id for its file: the stream goes by the listed one, or its
  // line would never find it.
  const int place = s.applications.Remember(given, name);
  const std::string id = place >= 0 ? s.applications.All()[place].id : given;
  // A stream without a volume of its own has nothing to read or set, and libpulse aborts on
  // a volume of no channels: its application keeps its line, the stream stays out.
  if (!pa_cvolume_valid(&input.volume)) return;
  const pa_usec_t now = pa_rtclock_now();
  const auto known = s.streams.find(input.index);
  const pa_usec_t appeared = known != s.streams.end() ? known->second.appeared : now;
  s.streams[input.index] = Stream{input.index, id, input.volume, appeared};
  const auto written = s.written.find(id);
  if (written == s.written.end() || now - appeared > STARTING_TIME) return;
  const pa_cvolume volume = OnChannels(written->second, input.volume.channels);
  if (!pa_cvolume_equal(&volume, &input.volume)) WriteStream(input.index, volume);
}

// One answer of a listing or a query; the counter it was asked with drops at its end.
template <typename Info>
void OnInfo(pa_context*, const Info* info, int eol, void* pending) {
  if (eol == 0 && info != nullptr) Store(*info);
  if (eol != 0) {
    --*static_cast<int*>(pending);
    Signal();
  }
}

void Ask(pa_operation* operation, int* pending) {
  if (operation == nullptr) return;
  ++*pending;
  pa_operation_unref(operation);
}

// Asks the server for one device or stream.
void AskFor(pa_context* context, unsigned facility, uint32_t index) {
  int* pending = &TheState().queriesPending;
  switch (facility) {
    case PA_SUBSCRIPTION_EVENT_SINK:
      Ask(pa_context_get_sink_info_by_index(context, index, OnInfo<pa_sink_info>, pending),
          pending);
      break;
    case PA_SUBSCRIPTION_EVENT_SOURCE:
      Ask(pa_context_get_source_info_by_index(context, index, OnInfo<pa_source_info>, pending),
          pending);
      break;
    case PA_SUBSCRIPTION_EVENT_SINK_INPUT:
      Ask(pa_context_get_sink_input_info(context, index, OnInfo<pa_sink_input_info>, pending),
          pending);
      break;
    default:
      break;
  }
}

// Asks for every device and stream changed since the last time.
void AskForChanged() {
  State& s = TheState();
  if (s.refresh != nullptr) {
    pa_threaded_mainloop_get_api(s.loop)->time_free(s.refresh);
    s.refresh = nullptr;
  }
  for (const auto& [facility, index] : s.changed) AskFor(s.context, facility, index);
  s.changed.clear();
}

void OnRefresh(pa_mainloop_api*, pa_time_event*, const struct timeval*, void*) { AskForChanged(); }

// A new device or stream is asked for at once, a changed one a little later, and a removed
// one leaves the cache.
void OnEvent(pa_context* context, pa_subscription_event_type_t event, uint32_t index, void*) {
  State& s = TheState();
  const unsigned facility = event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
  switch (event & PA_SUBSCRIPTION_EVENT_TYPE_MASK) {
    case PA_SUBSCRIPTION_EVENT_NEW:
      AskFor(context, facility, index);
      break;
    case PA_SUBSCRIPTION_EVENT_CHANGE:
      s.changed.insert({facility, index});
      if (s.refresh == nullptr) {
        s.refresh =
            pa_context_rttime_new(context, pa_rtclock_now() + REFRESH_DELAY, OnRefresh, nullptr);
      }
      break;
    case PA_SUBSCRIPTION_EVENT_REMOVE: {
      s.changed.erase({facility, index});
      std::lock_guard<std::mutex> cache(s.cacheLock);
      if (facility == PA_SUBSCRIPTION_EVENT_SINK) s.sinks.erase(index);
      if (facility == PA_SUBSCRIPTION_EVENT_SOURCE) s.sources.erase(index);
      if (facility == PA_SUBSCRIPTION_EVENT_SINK_INPUT) {
        s.streams.erase(index);
        // Its control goes with it: an application that starts a stream per video would
        // otherwise grow the list searched on every reading, and PipeWire may give the index
        // to a new stream. An answer still on its way then finds no control and is dropped.
        s.controls.erase(
            std::remove_if(s.controls.begin(), s.controls.end(),
                           [index](const Control& control) { return control.stream == index; }),
            s.controls.end());
        // A wait for the writes to land may now be over.
        Signal();
      }
      break;
    }
    default:
      break;
  }
}

void OnContextState(pa_context* context, void*) {
  if (pa_context_get_state(context) != PA_CONTEXT_READY) TheState().connected = false;
  Signal();
}

void OnLate(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* late) {
  *static_cast<bool*>(late) = true;
  Signal();
}

// Waits, holding the lock, until done() holds. False when the connection broke or the server
// did not answer in time.
template <typename Done>
bool WaitUntil(Done done) {
  State& s = TheState();
  bool late = false;
  pa_time_event* timer =
      pa_context_rttime_new(s.context, pa_rtclock_now() + ANSWER_TIMEOUT, OnLate, &late);
  while (!done() && !late && PA_CONTEXT_IS_GOOD(pa_context_get_state(s.context))) {
    pa_threaded_mainloop_wait(s.loop);
  }
  if (timer != nullptr) pa_threaded_mainloop_get_api(s.loop)->time_free(timer);
  return done() && PA_CONTEXT_IS_GOOD(pa_context_get_state(s.context));
}

// ---- The connection ------------------------------------------------------------------

// Drops the connection and everything learned through it; writes on their way are lost with
// the server that would have taken them.
void Disconnect() {
  State& s = TheState();
  if (s.context != nullptr) {
    pa_context_set_state_callback(s.context, nullptr, nullptr);
    pa_context_set_subscribe_callback(s.context, nullptr, nullptr);
    pa_context_disconnect(s.context);
    pa_context_unref(s.context);
    s.context = nullptr;
  }
  if (s.refresh != nullptr) pa_threaded_mainloop_get_api(s.loop)->time_free(s.refresh);
  s.refresh = nullptr;
  s.changed.clear();
  s.listed = false;
  s.connected = false;
  std::lock_guard<std::mutex> cache(s.cacheLock);
  s.listsPending = s.queriesPending = 0;
  s.sinks.clear();
  s.sources.clear();
  s.streams.clear();
  s.controls.clear();
}

bool WritesOnTheirWay() {
  std::lock_guard<std::mutex> cache(TheState().cacheLock);
  const auto& controls = TheState().controls;
  return std::any_of(controls.begin(), controls.end(),
                     [](const Control& control) { return control.inFlight || control.waiting; });
}

// At exit: lets the last writes land, then lets go of the server.
void Shutdown() {
  State& s = TheState();
  if (s.loop == nullptr) return;
  pa_threaded_mainloop_lock(s.loop);
  if (s.context != nullptr) WaitUntil([] { return !WritesOnTheirWay(); });
  Disconnect();
  pa_threaded_mainloop_unlock(s.loop);
  pa_threaded_mainloop_stop(s.loop);
  pa_threaded_mainloop_free(s.loop);
  close(s.wake);
  s.loop = nullptr;
  s.wake = -1;
  s.shutDown = true;
}

bool Connected() {
  const State& s = TheState();
  return s.context != nullptr && s.listed && pa_context_get_state(s.context) == PA_CONTEXT_READY;
}

// Connects, subscribes to every change of devices and streams, then lists them all: an event
// that comes while the listing is on its way is applied after it. Call with the lock held
// once the loop runs.
bool Connect() {
  State& s = TheState();
  s.context = pa_context_new(pa_threaded_mainloop_get_api(s.loop), "Knobvane");
  if (s.context == nullptr) return false;
  pa_context_set_state_callback(s.context, OnContextState, nullptr);
  pa_context_set_subscribe_callback(s.context, OnEvent, nullptr);
  // No autospawn: a machine without a server has no mixer devices, and we start none.
  if (pa_context_connect(s.context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
      !WaitUntil([&s] { return pa_context_get_state(s.context) == PA_CONTEXT_READY; })) {
    return false;
  }
  pa_operation* subscribed = pa_context_subscribe(
      s.context,
      static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE |
                                          PA_SUBSCRIPTION_MASK_SINK_INPUT),
      nullptr, nullptr);
  if (subscribed == nullptr) return false;
  pa_operation_unref(subscribed);
  int* pending = &s.listsPending;
  Ask(pa_context_get_sink_info_list(s.context, OnInfo<pa_sink_info>, pending), pending);
  Ask(pa_context_get_source_info_list(s.context, OnInfo<pa_source_info>, pending), pending);
  Ask(pa_context_get_sink_input_info_list(s.context, OnInfo<pa_sink_input_info>, pending), pending);
  {
    // Other programs of ours may have added applications since.
    std::lock_guard<std::mutex> cache(s.cacheLock);
    s.applications.Load();
  }
  if (s.listsPending != 3 || !WaitUntil([&s] { return s.listsPending == 0; })) return false;
  s.listed = true;
  s.connected = true;
  return true;
}

// A connection with the cache filled, made or remade as needed; false when there is no server.
// Costs no round trip while the connection holds.
bool Reachable() {
  State& s = TheState();
  if (Connected()) return true;
  if (s.loop == nullptr) return false;
  Disconnect();
  if (Connect()) return true;
  Disconnect();
  return false;
}

void OnAnswer(pa_context*, const pa_server_info*, void*) { Signal(); }

// Brings the cache up to what the server has now: every change event the server sent before
// answering has been applied once the answer and every query it caused are in; and lets our
// own writes land first. Costs a round trip; only the listing of the devices needs it.
bool Current() {
  State& s = TheState();
  if (!Reachable()) return false;
  AskForChanged();
  pa_operation* answer = pa_context_get_server_info(s.context, OnAnswer, nullptr);
  if (answer == nullptr) {
    Disconnect();
    return false;
  }
  const bool answered = WaitUntil([&s, answer] {
    return pa_operation_get_state(answer) != PA_OPERATION_RUNNING && s.queriesPending == 0 &&
           !WritesOnTheirWay();
  });
  pa_operation_unref(answer);
  if (!answered) Disconnect();
  return answered;
}

// ---- What the server has ---------------------------------------------------------------

// Every device in mixer order: sinks, then inputs, then the applications.
std::vector<const Device*> Devices() {
  std::vector<const Device*> devices;
  for (const auto& sink : TheState().sinks) devices.push_back(&sink.second);
  for (const auto& source : TheState().sources) devices.push_back(&source.second);
  devices.push_back(&APPLICATIONS);
  return devices;
}

const Device* FindDevice(const DeviceKey& key) {
  if (key.isApplications) return &APPLICATIONS;
  for (const auto& entry : key.isSink ? TheState().sinks : TheState().sources) {
    if (entry.second.name == key.name) return &entry.second;
  }
  return nullptr;
}

DeviceKey KeyOf(const Device& device) {
  return DeviceKey{device.isSink, device.name, device.isApplications};
}

// A device's destination lines: its master line, or one per application.
DWORD Destinations(const Device& device) {
  return device.isApplications ? static_cast<DWORD>(TheState().applications.All().size()) : 1;
}

// Finds the device a call names in the cache (hold its lock), as winmm does: with the handle-type
// bit it must be an open handle; with no type bit it may be an open handle or a device index.
MMRESULT Resolve(UINT_PTR object, DWORD flags, const Device** device) {
  const DWORD type = flags & MIXER_OBJECTF_TYPEMASK;
  if (type != MIXER_OBJECTF_HMIXER && type != MIXER_OBJECTF_MIXER) return MMSYSERR_NOTSUPPORTED;
  const auto& handles = TheState().handles;
  const auto open = handles.find(object);
  if (open == handles.end() && type == MIXER_OBJECTF_HMIXER) return MMSYSERR_INVALHANDLE;
  if (open != handles.end()) {
    // The device, or the whole server, has gone away when the cache does not hold it.
    *device = TheState().connected ? FindDevice(open->second) : nullptr;
    return *device != nullptr ? MMSYSERR_NOERROR : MMSYSERR_NODRIVER;
  }
  if (!TheState().connected) return MMSYSERR_BADDEVICEID;
  const std::vector<const Device*> devices = Devices();
  if (object >= devices.size()) return MMSYSERR_BADDEVICEID;
  *device = devices[object];
  return MMSYSERR_NOERROR;
}

// The destination with that line ID on the device: 0 for a master line, an application's
// place in the list for an application's line.
bool FindLine(const Device& device, DWORD lineID, DWORD* destination) {
  *destination = 0;
  if (!device.isApplications) return lineID == MASTER_LINE_ID;
  if (lineID < FIRST_APPLICATION_LINE_ID) return false;
  *destination = lineID - FIRST_APPLICATION_LINE_ID;
  return *destination < Destinations(device);
}

DWORD LineID(const Device& device, DWORD destination) {
  return device.isApplications ? FIRST_APPLICATION_LINE_ID + destination : MASTER_LINE_ID;
}

// An application's streams now playing, in index order.
std::vector<const Stream*> StreamsOf(const std::string& application) {
  std::vector<const Stream*> streams;
  for (const auto& entry : TheState().streams) {
    if (entry.second.application == application) streams.push_back(&entry.second);
  }
  return streams;
}

// ---- Writes behind the caller ------------------------------------------------------------

Control* FindControl(const DeviceKey& device, uint32_t stream) {
  for (Control& control : TheState().controls) {
    if (control.stream == stream && control.device.isSink == device.isSink &&
        control.device.name == device.name) {
      return &control;
    }
  }
  return nullptr;
}

Control* ControlWithID(uint64_t id) {
  for (Control& control : TheState().controls) {
    if (control.id == id) return &control;
  }
  return nullptr;
}

// The volume the caller sees for a master line or a stream: its own newest write until the
// server has it.
pa_cvolume Seen(const Device& device, const Stream* stream) {
  const Control* control = stream ? FindControl(DeviceKey{}, stream->index)
                                  : FindControl(KeyOf(device), PA_INVALID_INDEX);
  if (control != nullptr && (control->inFlight || control->waiting)) return control->newest;
  return stream ? stream->volume : device.volume;
}

pa_cvolume FullVolume(uint8_t channels) {
  pa_cvolume volume;
  pa_cvolume_set(&volume, channels, PA_VOLUME_NORM);
  return volume;
}

// A line's volume: a master line's, or an application's first stream's, else the last value
// written to the application, else full volume on two channels: an application's line can be
// read and set before anything of it plays.
pa_cvolume LineVolume(const Device& device, DWORD destination) {
  if (!device.isApplications) return Seen(device, nullptr);
  const std::string& id = TheState().applications.All()[destination].id;
  const std::vector<const Stream*> streams = StreamsOf(id);
  if (!streams.empty()) return Seen(device, streams.front());
  const auto written = TheState().written.find(id);
  return written != TheState().written.end() ? written->second : FullVolume(2);
}

// A line's value for a stream of other channels: the same per channel where the counts
// match, else the loudest on every channel.
pa_cvolume OnChannels(const pa_cvolume& volume, uint8_t channels) {
  if (volume.channels == channels) return volume;
  pa_cvolume mapped;
  pa_cvolume_set(&mapped, channels, pa_cvolume_max(&volume));
  return mapped;
}

void Send(Control* control);

// The server's answer to a write. The cache takes the written value at once: the change
// event that follows only confirms it, and a read in between must not see the old one.
void OnWritten(pa_context*, int success, void* id) {
  State& s = TheState();
  std::lock_guard<std::mutex> cache(s.cacheLock);
  Control* control = ControlWithID(reinterpret_cast<uintptr_t>(id));
  if (control == nullptr) {
    Signal();
    return;
  }
  control->inFlight = false;
  if (success) {
    if (control->stream != PA_INVALID_INDEX) {
      const auto stream = s.streams.find(control->stream);
      if (stream != s.streams.end()) stream->second.volume = control->sent;
    } else {
      for (auto& entry : control->device.isSink ? s.sinks : s.sources) {
        if (entry.second.name == control->device.name) entry.second.volume = control->sent;
      }
    }
  }
  if (control->waiting) Send(control);
  Signal();
}

// Sends the control's newest value; a device or stream gone meanwhile takes nothing. On the
// loop's thread, holding both locks.
void Send(Control* control) {
  State& s = TheState();
  control->waiting = false;
  control->sent = control->newest;
  void* id = reinterpret_cast<void*>(static_cast<uintptr_t>(control->id));
  pa_operation* operation = nullptr;
  if (control->stream != PA_INVALID_INDEX) {
    operation =
        pa_context_set_sink_input_volume(s.context, control->stream, &control->sent, OnWritten, id);
  } else if (const Device* device = FindDevice(control->device)) {
    // By index: the server takes a name of digits for an index, and a write must never land
    // on another device.
    operation = device->isSink ? pa_context_set_sink_volume_by_index(s.context, device->index,
                                                                     &control->sent, OnWritten, id)
                               : pa_context_set_source_volume_by_index(
                                     s.context, device->index, &control->sent, OnWritten, id);
  }
  control->inFlight = operation != nullptr;
  if (operation != nullptr) pa_operation_unref(operation);
}

// Sends every waiting value of a control with no write on its way.
void OnWake(pa_mainloop_api*, pa_io_event*, int fd, pa_io_event_flags_t, void*) {
  uint64_t count;
  if (read(fd, &count, sizeof count) < 0) return;
  State& s = TheState();
  std::lock_guard<std::mutex> cache(s.cacheLock);
  if (s.context == nullptr) return;
  for (Control& control : s.controls) {
    if (control.waiting && !control.inFlight) Send(&control);
  }
  // A device gone meanwhile took nothing, and no answer will come to say so.
  Signal();
}

// Takes a checked value for a control (hold the cache's lock): the loop sends it at once when
// no write of that control is on its way, else it replaces whatever waits and follows when
// the server has answered.
void WriteControl(const DeviceKey& key, uint32_t streamIndex, const pa_cvolume& volume) {
  State& s = TheState();
  Control* control = FindControl(key, streamIndex);
  if (control == nullptr) {
    s.controls.push_back(Control{s.nextControl++, key, streamIndex, volume, volume, false, false});
    control = &s.controls.back();
  }
  control->newest = volume;
  control->waiting = true;
  if (!control->inFlight) {
    const uint64_t one = 1;
    if (write(s.wake, &one, sizeof one) < 0) {
      // The counter is full, so the loop has a wake-up waiting already.
    }
  }
}

void WriteStream(uint32_t stream, const pa_cvolume& volume) {
  WriteControl(DeviceKey{}, stream, volume);
}

// A line's new value: a master line's, or an application's, for every stream it has now and
// every one it starts later.
void WriteLine(const Device& device, DWORD destination, const pa_cvolume& volume) {
  if (!device.isApplications) {
    WriteControl(KeyOf(device), PA_INVALID_INDEX, volume);
    return;
  }
  const std::string& id = TheState().applications.All()[destination].id;
  TheState().written[id] = volume;
  for (const Stream* stream : StreamsOf(id)) {
    WriteStream(stream->index, OnChannels(volume, stream->volume.channels));
  }
}

// ---- Records ---------------------------------------------------------------------------

// Copies a name into a fixed field, cut so that no UTF-8 character is split.
template <size_t N>
void CopyName(char (&field)[N], const std::string& name) {
  size_t length = std::min(N - 1, name.size());
  while (length > 0 && length < name.size() &&
         (static_cast<unsigned char>(name[length]) & 0xC0) == 0x80) {
    --length;
  }
  memcpy(field, name.data(), length);
  field[length] = '\0';
}

void FillLine(const Device& device, DWORD destination, MIXERLINEA* line) {
  const DWORD cbStruct = line->cbStruct;
  memset(line, 0, sizeof *line);
  line->cbStruct = cbStruct;
  line->dwDestination = destination;
  line->dwLineID = LineID(device, destination);
  line->fdwLine = MIXERLINE_LINEF_ACTIVE;
  line->dwComponentType = device.isSink || device.isApplications
                              ? MIXERLINE_COMPONENTTYPE_DST_SPEAKERS
                              : MIXERLINE_COMPONENTTYPE_DST_WAVEIN;
  line->cChannels = LineVolume(device, destination).channels;
  line->cConnections = 0;
  line->cControls = 1;
  const std::string& name = device.isApplications ? TheState().applications.All()[destination].name
                                                  : std::string("Master Volume");
  CopyName(line->szShortName, name);
  CopyName(line->szName, name);
  CopyName(line->Target.szPname, device.description);
}

// PulseAudio's 100 % (65536) and anything louder is the control's maximum, 65535; the
// maximum written back is exactly 100 %, so a full knob never boosts.
DWORD ToMixer(pa_volume_t volume) {
  return volume >= PA_VOLUME_NORM ? VOLUME_MAXIMUM : static_cast<DWORD>(volume);
}
pa_volume_t ToPulse(DWORD value) { return value >= VOLUME_MAXIMUM ? PA_VOLUME_NORM : value; }

// A details call names either every channel of the line or, for a uniform value, one.
bool DetailsFit(const MIXERCONTROLDETAILS* details, const pa_cvolume& volume) {
  return details->cbStruct == sizeof *details &&
         details->cbDetails == sizeof(MIXERCONTROLDETAILS_UNSIGNED) &&
         details->paDetails != nullptr &&
         (details->cChannels == volume.channels || details->cChannels == 1);
}

// Reading and writing details take only the value query (0), with or without a handle-type
// bit: another query is unsupported, a bit outside the query and type is an invalid flag.
MMRESULT CheckValueQuery(DWORD flags) {
  if ((flags & ~MIXER_OBJECTF_TYPEMASK) == MIXER_GETCONTROLDETAILSF_VALUE) return MMSYSERR_NOERROR;
  return (flags & ~(MIXER_OBJECTF_TYPEMASK | MIXER_GETCONTROLDETAILSF_QUERYMASK)) != 0
             ? MMSYSERR_INVALFLAG
             : MMSYSERR_NOTSUPPORTED;
}

}  // namespace

extern "C" {

UINT mixerGetNumDevs(void) {
  Session session(true);
  return TheState().connected ? static_cast<UINT>(Devices().size()) : 0;
}

MMRESULT mixerOpen(LPHMIXER phmx, UINT uMxId, DWORD_PTR dwCallback, DWORD_PTR /*dwInstance*/,
                   DWORD fdwOpen) {
  if (phmx == nullptr) return MMSYSERR_INVALPARAM;
  if (fdwOpen != CALLBACK_NULL && fdwOpen != CALLBACK_WINDOW) return MMSYSERR_INVALFLAG;
  // Nothing is ever posted to the window: the cache follows the server's changes by itself.
  if (fdwOpen == CALLBACK_WINDOW && dwCallback == 0) return MMSYSERR_INVALPARAM;
  Session session(true);
  if (!TheState().connected) return MMSYSERR_BADDEVICEID;
  const std::vector<const Device*> devices = Devices();
  if (uMxId >= devices.size()) return MMSYSERR_BADDEVICEID;
  State& s = TheState();
  const UINT_PTR handle = s.nextHandle++;
  s.handles[handle] = KeyOf(*devices[uMxId]);
  *phmx = reinterpret_cast<HMIXER>(handle);
  return MMSYSERR_NOERROR;
}

MMRESULT mixerClose(HMIXER hmx) {
  return TheState().handles.erase(reinterpret_cast<UINT_PTR>(hmx)) == 1 ? MMSYSERR_NOERROR
                                                                        : MMSYSERR_INVALHANDLE;
}

MMRESULT mixerGetDevCapsA(UINT_PTR uMxId, LPMIXERCAPSA pmxcaps, UINT cbmxcaps) {
  if (pmxcaps == nullptr) return MMSYSERR_INVALPARAM;
  Session session;
  const Device* device = nullptr;
  const MMRESULT result = Resolve(uMxId, MIXER_OBJECTF_MIXER, &device);
  if (result != MMSYSERR_NOERROR) return result;
  MIXERCAPSA caps;
  memset(&caps, 0, sizeof caps);
  CopyName(caps.szPname, device->description);
  caps.cDestinations = Destinations(*device);
  // Like winmm, fills no more than the caller's record holds.
  memcpy(pmxcaps, &caps, std::min<size_t>(cbmxcaps, sizeof caps));
  return MMSYSERR_NOERROR;
}

MMRESULT mixerGetLineInfoA(HMIXEROBJ hmxobj, LPMIXERLINEA pmxl, DWORD fdwInfo) {
  if (pmxl == nullptr || pmxl->cbStruct != sizeof *pmxl) return MMSYSERR_INVALPARAM;
  if ((fdwInfo & ~(MIXER_OBJECTF_TYPEMASK | MIXER_GETLINEINFOF_QUERYMASK)) != 0) {
    return MMSYSERR_INVALFLAG;
  }
  const DWORD query = fdwInfo & MIXER_GETLINEINFOF_QUERYMASK;
  if (query != MIXER_GETLINEINFOF_DESTINATION && query != MIXER_GETLINEINFOF_SOURCE &&
      query != MIXER_GETLINEINFOF_LINEID) {
    return MMSYSERR_NOTSUPPORTED;
  }
  Session session;
  const Device* device = nullptr;
  const MMRESULT result = Resolve(reinterpret_cast<UINT_PTR>(hmxobj), fdwInfo, &device);
  if (result != MMSYSERR_NOERROR) return result;
  DWORD destination = pmxl->dwDestination;
  if (query == MIXER_GETLINEINFOF_LINEID) {
    if (!FindLine(*device, pmxl->dwLineID, &destination)) return MIXERR_INVALLINE;
  } else if (destination >= Destinations(*device) || query == MIXER_GETLINEINFOF_SOURCE) {
    // No line has source lines.
    return MIXERR_INVALLINE;
  }
  FillLine(*device, destination, pmxl);
  return MMSYSERR_NOERROR;
}

MMRESULT mixerGetLineControlsA(HMIXEROBJ hmxobj, LPMIXERLINECONTROLSA pmxlc, DWORD fdwControls) {
  if (pmxlc == nullptr || pmxlc->cbStruct != sizeof *pmxlc || pmxlc->cControls != 1 ||
      pmxlc->cbmxctrl < sizeof(MIXERCONTROLA) || pmxlc->pamxctrl == nullptr) {
    return MMSYSERR_INVALPARAM;
  }
  if ((fdwControls & ~(MIXER_OBJECTF_TYPEMASK | MIXER_GETLINECONTROLSF_QUERYMASK)) != 0) {
    return MMSYSERR_INVALFLAG;
  }
  const DWORD query = fdwControls & MIXER_GETLINECONTROLSF_QUERYMASK;
  if (query != MIXER_GETLINECONTROLSF_ONEBYTYPE && query != MIXER_GETLINECONTROLSF_ONEBYID) {
    return MMSYSERR_NOTSUPPORTED;
  }
  Session session;
  const Device* device = nullptr;
  const MMRESULT result = Resolve(reinterpret_cast<UINT_PTR>(hmxobj), fdwControls, &device);
  if (result != MMSYSERR_NOERROR) return result;
  // A line's one control carries the line's ID.
  const bool byID = query == MIXER_GETLINECONTROLSF_ONEBYID;
  const DWORD lineID = byID ? pmxlc->dwControlID : pmxlc->dwLineID;
  DWORD destination = 0;
  if (!FindLine(*device, lineID, &destination))
    return byID ? MIXERR_INVALCONTROL : MIXERR_INVALLINE;
  if (!byID && pmxlc->dwControlType != MIXERCONTROL_CONTROLTYPE_VOLUME) return MIXERR_INVALCONTROL;
  pmxlc->dwLineID = lineID;
  MIXERCONTROLA control;
  memset(&control, 0, sizeof control);
  control.cbStruct = sizeof control;
  control.dwControlID = lineID;
  control.dwControlType = MIXERCONTROL_CONTROLTYPE_VOLUME;
  CopyName(control.szShortName, "Volume");
  CopyName(control.szName, "Volume");
  control.Bounds.dwMinimum = 0;
  control.Bounds.dwMaximum = VOLUME_MAXIMUM;
  control.Metrics.cSteps = VOLUME_STEPS;
  memcpy(pmxlc->pamxctrl, &control, sizeof control);
  return MMSYSERR_NOERROR;
}

MMRESULT mixerGetControlDetailsA(HMIXEROBJ hmxobj, LPMIXERCONTROLDETAILS pmxcd, DWORD fdwDetails) {
  if (pmxcd == nullptr || pmxcd->cbStruct != sizeof *pmxcd) return MMSYSERR_INVALPARAM;
  const MMRESULT query = CheckValueQuery(fdwDetails);
  if (query != MMSYSERR_NOERROR) return query;
  Session session;
  const Device* device = nullptr;
  const MMRESULT result = Resolve(reinterpret_cast<UINT_PTR>(hmxobj), fdwDetails, &device);
  if (result != MMSYSERR_NOERROR) return result;
  DWORD destination = 0;
  if (!FindLine(*device, pmxcd->dwControlID, &destination)) return MIXERR_INVALCONTROL;
  const pa_cvolume volume = LineVolume(*device, destination);
  if (!DetailsFit(pmxcd, volume)) return MMSYSERR_INVALPARAM;
  auto* values = static_cast<MIXERCONTROLDETAILS_UNSIGNED*>(pmxcd->paDetails);
  if (pmxcd->cChannels == 1) {
    values[0].dwValue = ToMixer(pa_cvolume_max(&volume));
  } else {
    for (DWORD i = 0; i < pmxcd->cChannels; ++i) values[i].dwValue = ToMixer(volume.values[i]);
  }
  return MMSYSERR_NOERROR;
}

MMRESULT mixerSetControlDetails(HMIXEROBJ hmxobj, LPMIXERCONTROLDETAILS pmxcd, DWORD fdwDetails) {
  if (pmxcd == nullptr || pmxcd->cbStruct != sizeof *pmxcd) return MMSYSERR_INVALPARAM;
  const MMRESULT query = CheckValueQuery(fdwDetails);
  if (query != MMSYSERR_NOERROR) return query;
  Session session;
  const Device* device = nullptr;
  const MMRESULT result = Resolve(reinterpret_cast<UINT_PTR>(hmxobj), fdwDetails, &device);
  if (result != MMSYSERR_NOERROR) return result;
  DWORD destination = 0;
  if (!FindLine(*device, pmxcd->dwControlID, &destination)) return MIXERR_INVALCONTROL;
  pa_cvolume volume = LineVolume(*device, destination);
  if (!DetailsFit(pmxcd, volume)) return MMSYSERR_INVALPARAM;
  const auto* values = static_cast<const MIXERCONTROLDETAILS_UNSIGNED*>(pmxcd->paDetails);
  // Like winmm, an out-of-bounds value rejects the whole write.
  for (DWORD i = 0; i < pmxcd->cChannels; ++i) {
    if (values[i].dwValue > VOLUME_MAXIMUM) return MMSYSERR_INVALPARAM;
  }
  for (unsigned i = 0; i < volume.channels; ++i) {
    volume.values[i] = ToPulse(values[pmxcd->cChannels == 1 ? 0 : i].dwValue);
  }
  WriteLine(*device, destination, volume);
  return MMSYSERR_NOERROR;
}

}  // extern "C"
