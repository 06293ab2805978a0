// The Windows multimedia mixer (winmm's mixer* functions) over a PulseAudio server, or
// PipeWire's pulse server, presented the way Windows presents audio endpoints to winmm.
//
// Devices are every sink in index order, then every source that is not a monitor. Each has
// one destination line, "Master Volume", carrying the device's own per-channel volume; a
// sink's source lines are the application streams playing into it, named by application.
// Every line has one volume control, 0..65535 in 100 steps. Record sizes, flags, handles and
// written values are checked as winmm checks them, with winmm's result codes.
//
// Calls are synchronous over one connection per process, made on first use and remade when
// the server went away. A handle remembers its device by pulse name, so it keeps naming the
// same device while others come and go, and again once the server is back. Line IDs are
// fixed per line (the master's, or the stream's pulse index), so a line that has gone away
// answers with an error instead of handing its ID to another line. Not thread-safe: the
// programs have one thread.
#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace {

// A server that has not answered by then is treated as gone, so no call ever hangs.
constexpr pa_usec_t ANSWER_TIMEOUT = 2 * PA_USEC_PER_SEC;

// Open handles count up from here, far above any device index, so a handle passed where an
// index may stand is never taken for one.
constexpr UINT_PTR FIRST_HANDLE = 0x50410000;

constexpr DWORD MASTER_LINE_ID = 0xFFFF0000u;
constexpr DWORD VOLUME_MAXIMUM = 65535;
constexpr DWORD VOLUME_STEPS = 100;

struct Stream {
  uint32_t index;  // also its line ID and its control ID
  uint32_t sink;
  std::string name;
  pa_cvolume volume;
};

struct Device {
  bool isSink;
  uint32_t index;
  std::string name;  // pulse's unique name: what a handle holds on to
  std::string description;
  pa_cvolume volume;
  std::vector<Stream> streams;  // a sink's streams, in index order
};

struct DeviceKey {
  bool isSink;
  std::string name;
};

struct State {
  pa_mainloop* loop = nullptr;
  pa_context* context = nullptr;
  std::map<UINT_PTR, DeviceKey> handles;
  UINT_PTR nextHandle = FIRST_HANDLE;
};

// Never destroyed: the controller's static SoundLine objects close their handles at exit,
// possibly after this file's own statics would be gone. The connection is released at exit.
State& TheState() {
  static State* state = new State;
  return *state;
}

// ---- The connection ------------------------------------------------------------------

void Disconnect() {
  State& s = TheState();
  if (s.context == nullptr) return;
  pa_context_disconnect(s.context);
  pa_context_unref(s.context);
  s.context = nullptr;
}

void Shutdown() {
  Disconnect();
  pa_mainloop_free(TheState().loop);
  TheState().loop = nullptr;
}

// Runs the main loop until done() holds. False when the connection broke or the server did
// not answer in time.
template <typename Done>
bool RunUntil(Done done) {
  State& s = TheState();
  const pa_usec_t deadline = pa_rtclock_now() + ANSWER_TIMEOUT;
  while (!done()) {
    const pa_usec_t now = pa_rtclock_now();
    if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(s.context)) || now >= deadline) return false;
    if (pa_mainloop_prepare(s.loop, static_cast<int>(deadline - now)) < 0 ||
        pa_mainloop_poll(s.loop) < 0 || pa_mainloop_dispatch(s.loop) < 0) {
      return false;
    }
  }
  return true;
}

// The process's connection, made or remade as needed; null when there is no server.
pa_context* Connection() {
  State& s = TheState();
  if (s.context != nullptr) {
    // Lets the connection notice a server that went away since the last call.
    pa_mainloop_iterate(s.loop, 0, nullptr);
    if (pa_context_get_state(s.context) == PA_CONTEXT_READY) return s.context;
    Disconnect();
  }
  if (s.loop == nullptr) {
    s.loop = pa_mainloop_new();
    if (s.loop == nullptr) return nullptr;
    atexit(Shutdown);
  }
  s.context = pa_context_new(pa_mainloop_get_api(s.loop), "Knobvane");
  if (s.context == nullptr) return nullptr;
  // No autospawn: a machine without a server has no mixer devices, and we start none.
  if (pa_context_connect(s.context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
      !RunUntil([&s] { return pa_context_get_state(s.context) == PA_CONTEXT_READY; })) {
    Disconnect();
  }
  return s.context;
}

// Waits for an operation; true when the server carried it out. A server that stopped
// answering costs the connection, so the next call starts afresh.
bool Finish(pa_operation* operation) {
  if (operation == nullptr) return false;
  const bool answered =
      RunUntil([operation] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; });
  const bool done = pa_operation_get_state(operation) == PA_OPERATION_DONE;
  if (!answered) pa_operation_cancel(operation);
  pa_operation_unref(operation);
  if (!answered) Disconnect();
  return answered && done;
}

// ---- What the server has ---------------------------------------------------------------

struct Listing {
  std::vector<Device> sinks;
  std::vector<Device> sources;
  std::vector<Stream> streams;
  bool failed = false;
};

std::string Text(const char* text) { return text != nullptr ? text : ""; }

void Add(Listing* listing, const pa_sink_info& sink) {
  listing->sinks.push_back(
      Device{true, sink.index, Text(sink.name), Text(sink.description), sink.volume, {}});
}

void Add(Listing* listing, const pa_source_info& source) {
  if (source.monitor_of_sink != PA_INVALID_INDEX) return;
  listing->sources.push_back(
      Device{false, source.index, Text(source.name), Text(source.description), source.volume, {}});
}

void Add(Listing* listing, const pa_sink_input_info& input) {
  const char* application = pa_proplist_gets(input.proplist, PA_PROP_APPLICATION_NAME);
  listing->streams.push_back(
      Stream{input.index, input.sink, Text(application ? application : input.name), input.volume});
}

template <typename Info>
void Collect(pa_context*, const Info* info, int eol, void* listing) {
  if (eol < 0) static_cast<Listing*>(listing)->failed = true;
  if (eol == 0 && info != nullptr) Add(static_cast<Listing*>(listing), *info);
}

template <typename Item>
void SortByIndex(std::vector<Item>* items) {
  std::sort(items->begin(), items->end(),
            [](const Item& a, const Item& b) { return a.index < b.index; });
}

// Every device in mixer order, each sink with the streams playing into it. False when the
// server cannot be reached.
bool ReadDevices(std::vector<Device>* devices) {
  Listing listing;
  pa_context* context = Connection();
  if (context == nullptr ||
      !Finish(pa_context_get_sink_info_list(context, Collect<pa_sink_info>, &listing)) ||
      !Finish(pa_context_get_source_info_list(context, Collect<pa_source_info>, &listing)) ||
      !Finish(
          pa_context_get_sink_input_info_list(context, Collect<pa_sink_input_info>, &listing)) ||
      listing.failed) {
    return false;
  }
  SortByIndex(&listing.sinks);
  SortByIndex(&listing.sources);
  SortByIndex(&listing.streams);
  for (const Stream& stream : listing.streams) {
    for (Device& sink : listing.sinks) {
      if (sink.index == stream.sink) sink.streams.push_back(stream);
    }
  }
  *devices = std::move(listing.sinks);
  devices->insert(devices->end(), listing.sources.begin(), listing.sources.end());
  return true;
}

// The device an open handle names, read afresh by its pulse name, with its streams only when
// wanted: the master line, which the controller sets for every reading, needs none. Listing
// every device and stream of the server instead, twice per reading, kept the server so busy
// that the controller fell below the box's line rate. False when the device or server is gone.
bool ReadDevice(const DeviceKey& key, bool withStreams, Device* device) {
  Listing listing;
  pa_context* context = Connection();
  if (context == nullptr) return false;
  const char* name = key.name.c_str();
  pa_operation* operation =
      key.isSink
          ? pa_context_get_sink_info_by_name(context, name, Collect<pa_sink_info>, &listing)
          : pa_context_get_source_info_by_name(context, name, Collect<pa_source_info>, &listing);
  if (!Finish(operation)) return false;
  std::vector<Device>& found = key.isSink ? listing.sinks : listing.sources;
  // The server takes a name of digits for an index: only the very name counts.
  if (listing.failed || found.size() != 1 || found[0].name != key.name) return false;
  *device = std::move(found[0]);
  if (!withStreams || !key.isSink) return true;
  if (!Finish(
          pa_context_get_sink_input_info_list(context, Collect<pa_sink_input_info>, &listing)) ||
      listing.failed) {
    return false;
  }
  SortByIndex(&listing.streams);
  for (const Stream& stream : listing.streams) {
    if (stream.sink == device->index) device->streams.push_back(stream);
  }
  return true;
}

// Finds the device a call names, as winmm does: with the handle-type bit it must be an open
// handle; with no type bit it may be an open handle or a device index. A device found by its
// handle comes with its streams only when withStreams is set.
MMRESULT Resolve(UINT_PTR object, DWORD flags, bool withStreams, Device* device) {
  const DWORD type = flags & MIXER_OBJECTF_TYPEMASK;
  if (type != MIXER_OBJECTF_HMIXER && type != MIXER_OBJECTF_MIXER) return MMSYSERR_NOTSUPPORTED;
  const auto& handles = TheState().handles;
  const auto open = handles.find(object);
  if (open == handles.end() && type == MIXER_OBJECTF_HMIXER) return MMSYSERR_INVALHANDLE;
  if (open != handles.end()) {
    // The device, or the whole server, has gone away when it cannot be read.
    return ReadDevice(open->second, withStreams, device) ? MMSYSERR_NOERROR : MMSYSERR_NODRIVER;
  }
  std::vector<Device> devices;
  if (!ReadDevices(&devices) || object >= devices.size()) return MMSYSERR_BADDEVICEID;
  *device = devices[object];
  return MMSYSERR_NOERROR;
}

// The line with that ID on the device: its master line (stream null) or one of its streams.
bool FindLine(const Device& device, DWORD lineID, const Stream** stream, DWORD* source) {
  *stream = nullptr;
  *source = 0;
  if (lineID == MASTER_LINE_ID) return true;
  for (const Stream& candidate : device.streams) {
    if (candidate.index == lineID) {
      *stream = &candidate;
      return true;
    }
    ++*source;
  }
  return false;
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

void FillLine(const Device& device, const Stream* stream, DWORD source, MIXERLINEA* line) {
  const DWORD cbStruct = line->cbStruct;
  memset(line, 0, sizeof *line);
  line->cbStruct = cbStruct;
  line->dwDestination = 0;
  line->dwSource = source;
  line->dwLineID = stream ? stream->index : MASTER_LINE_ID;
  line->fdwLine = MIXERLINE_LINEF_ACTIVE | (stream ? MIXERLINE_LINEF_SOURCE : 0);
  line->dwComponentType = stream          ? MIXERLINE_COMPONENTTYPE_SRC_WAVEOUT
                          : device.isSink ? MIXERLINE_COMPONENTTYPE_DST_SPEAKERS
                                          : MIXERLINE_COMPONENTTYPE_DST_WAVEIN;
  line->cChannels = (stream ? stream->volume : device.volume).channels;
  line->cConnections = stream ? 0 : static_cast<DWORD>(device.streams.size());
  line->cControls = 1;
  const std::string name = stream ? stream->name : "Master Volume";
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

void Acknowledge(pa_context* context, int success, void* result) {
  *static_cast<MMRESULT*>(result) = success ? MMSYSERR_NOERROR
                                    : pa_context_errno(context) == PA_ERR_NOENTITY
                                        ? MIXERR_INVALCONTROL
                                        : MMSYSERR_ERROR;
}

// Writes a line's per-channel volume to the server.
MMRESULT WriteVolume(const Device& device, const Stream* stream, const pa_cvolume& volume) {
  pa_context* context = Connection();
  if (context == nullptr) return MMSYSERR_NODRIVER;
  MMRESULT result = MMSYSERR_ERROR;
  pa_operation* operation =
      stream
          ? pa_context_set_sink_input_volume(context, stream->index, &volume, Acknowledge, &result)
      : device.isSink ? pa_context_set_sink_volume_by_name(context, device.name.c_str(), &volume,
                                                           Acknowledge, &result)
                      : pa_context_set_source_volume_by_name(context, device.name.c_str(), &volume,
                                                             Acknowledge, &result);
  return Finish(operation) ? result : MMSYSERR_ERROR;
}

void AcknowledgeMaster(pa_context* context, int success, void* result) {
  const int error = success ? PA_OK : pa_context_errno(context);
  *static_cast<MMRESULT*>(result) = error == PA_OK             ? MMSYSERR_NOERROR
                                    : error == PA_ERR_NOENTITY ? MMSYSERR_NODRIVER
                                    : error == PA_ERR_INVALID  ? MMSYSERR_INVALPARAM
                                                               : MMSYSERR_ERROR;
}

// Writes every channel of an open device's master line without reading the device first: the
// server checks the channel count itself and answers "no such entity" when the device has
// gone. The controller writes this line for every reading, and reading
// the device before each write was a third of the server's work.
MMRESULT WriteMaster(const DeviceKey& key, const MIXERCONTROLDETAILS* details) {
  if (details->cbDetails != sizeof(MIXERCONTROLDETAILS_UNSIGNED) || details->paDetails == nullptr ||
      details->cChannels == 0 || details->cChannels > PA_CHANNELS_MAX) {
    return MMSYSERR_INVALPARAM;
  }
  const auto* values = static_cast<const MIXERCONTROLDETAILS_UNSIGNED*>(details->paDetails);
  pa_cvolume volume;
  volume.channels = static_cast<uint8_t>(details->cChannels);
  for (DWORD i = 0; i < details->cChannels; ++i) {
    // Like winmm, an out-of-bounds value rejects the whole write.
    if (values[i].dwValue > VOLUME_MAXIMUM) return MMSYSERR_INVALPARAM;
    volume.values[i] = ToPulse(values[i].dwValue);
  }
  pa_context* context = Connection();
  if (context == nullptr) return MMSYSERR_NODRIVER;
  MMRESULT result = MMSYSERR_ERROR;
  const char* name = key.name.c_str();
  pa_operation* operation = key.isSink ? pa_context_set_sink_volume_by_name(
                                             context, name, &volume, AcknowledgeMaster, &result)
                                       : pa_context_set_source_volume_by_name(
                                             context, name, &volume, AcknowledgeMaster, &result);
  return Finish(operation) ? result : MMSYSERR_ERROR;
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
  std::vector<Device> devices;
  return ReadDevices(&devices) ? static_cast<UINT>(devices.size()) : 0;
}

MMRESULT mixerOpen(LPHMIXER phmx, UINT uMxId, DWORD_PTR dwCallback, DWORD_PTR /*dwInstance*/,
                   DWORD fdwOpen) {
  if (phmx == nullptr) return MMSYSERR_INVALPARAM;
  if (fdwOpen != CALLBACK_NULL && fdwOpen != CALLBACK_WINDOW) return MMSYSERR_INVALFLAG;
  // Nothing is ever posted to the window: the server's changes are read on every call.
  if (fdwOpen == CALLBACK_WINDOW && dwCallback == 0) return MMSYSERR_INVALPARAM;
  std::vector<Device> devices;
  if (!ReadDevices(&devices) || uMxId >= devices.size()) return MMSYSERR_BADDEVICEID;
  State& s = TheState();
  const UINT_PTR handle = s.nextHandle++;
  s.handles[handle] = DeviceKey{devices[uMxId].isSink, devices[uMxId].name};
  *phmx = reinterpret_cast<HMIXER>(handle);
  return MMSYSERR_NOERROR;
}

MMRESULT mixerClose(HMIXER hmx) {
  return TheState().handles.erase(reinterpret_cast<UINT_PTR>(hmx)) == 1 ? MMSYSERR_NOERROR
                                                                        : MMSYSERR_INVALHANDLE;
}

MMRESULT mixerGetDevCapsA(UINT_PTR uMxId, LPMIXERCAPSA pmxcaps, UINT cbmxcaps) {
  if (pmxcaps == nullptr) return MMSYSERR_INVALPARAM;
  Device device;
  const MMRESULT result = Resolve(uMxId, MIXER_OBJECTF_MIXER, false, &device);
  if (result != MMSYSERR_NOERROR) return result;
  MIXERCAPSA caps;
  memset(&caps, 0, sizeof caps);
  CopyName(caps.szPname, device.description);
  caps.cDestinations = 1;
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
  Device device;
  const MMRESULT result = Resolve(reinterpret_cast<UINT_PTR>(hmxobj), fdwInfo, true, &device);
  if (result != MMSYSERR_NOERROR) return result;
  const Stream* stream = nullptr;
  DWORD source = 0;
  if (query == MIXER_GETLINEINFOF_LINEID) {
    if (!FindLine(device, pmxl->dwLineID, &stream, &source)) return MIXERR_INVALLINE;
  } else if (pmxl->dwDestination != 0) {
    return MIXERR_INVALLINE;
  } else if (query == MIXER_GETLINEINFOF_SOURCE) {
    if (pmxl->dwSource >= device.streams.size()) return MIXERR_INVALLINE;
    source = pmxl->dwSource;
    stream = &device.streams[source];
  }
  FillLine(device, stream, source, pmxl);
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
  Device device;
  const MMRESULT result = Resolve(reinterpret_cast<UINT_PTR>(hmxobj), fdwControls, true, &device);
  if (result != MMSYSERR_NOERROR) return result;
  // A line's one control carries the line's ID.
  const bool byID = query == MIXER_GETLINECONTROLSF_ONEBYID;
  const DWORD lineID = byID ? pmxlc->dwControlID : pmxlc->dwLineID;
  const Stream* stream = nullptr;
  DWORD source = 0;
  if (!FindLine(device, lineID, &stream, &source))
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
  Device device;
  // Only a stream's line needs the device's streams.
  const MMRESULT result = Resolve(reinterpret_cast<UINT_PTR>(hmxobj), fdwDetails,
                                  pmxcd->dwControlID != MASTER_LINE_ID, &device);
  if (result != MMSYSERR_NOERROR) return result;
  const Stream* stream = nullptr;
  DWORD source = 0;
  if (!FindLine(device, pmxcd->dwControlID, &stream, &source)) return MIXERR_INVALCONTROL;
  const pa_cvolume& volume = stream ? stream->volume : device.volume;
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
  const DWORD type = fdwDetails & MIXER_OBJECTF_TYPEMASK;
  const auto& handles = TheState().handles;
  const auto open = handles.find(reinterpret_cast<UINT_PTR>(hmxobj));
  // A single value for every channel needs the channel count, and the server takes a name of
  // digits for an index when no device has that name (any more): those writes look the device
  // up first, so a write never lands on another device.
  if (pmxcd->dwControlID == MASTER_LINE_ID && pmxcd->cChannels > 1 && open != handles.end() &&
      (type == MIXER_OBJECTF_HMIXER || type == MIXER_OBJECTF_MIXER) &&
      open->second.name.find_first_not_of("0123456789") != std::string::npos) {
    return WriteMaster(open->second, pmxcd);
  }
  Device device;
  const MMRESULT result = Resolve(reinterpret_cast<UINT_PTR>(hmxobj), fdwDetails, true, &device);
  if (result != MMSYSERR_NOERROR) return result;
  const Stream* stream = nullptr;
  DWORD source = 0;
  if (!FindLine(device, pmxcd->dwControlID, &stream, &source)) return MIXERR_INVALCONTROL;
  pa_cvolume volume = stream ? stream->volume : device.volume;
  if (!DetailsFit(pmxcd, volume)) return MMSYSERR_INVALPARAM;
  const auto* values = static_cast<const MIXERCONTROLDETAILS_UNSIGNED*>(pmxcd->paDetails);
  // Like winmm, an out-of-bounds value rejects the whole write.
  for (DWORD i = 0; i < pmxcd->cChannels; ++i) {
    if (values[i].dwValue > VOLUME_MAXIMUM) return MMSYSERR_INVALPARAM;
  }
  for (unsigned i = 0; i < volume.channels; ++i) {
    volume.values[i] = ToPulse(values[pmxcd->cChannels == 1 ? 0 : i].dwValue);
  }
  return WriteVolume(device, stream, volume);
}

}  // extern "C"
