// A stand-in mmdevapi.dll for running the Windows programs under Wine, whose own Core Audio
// keeps no endpoint volume and shows no other process's session. It serves the device
// enumerator over the model file named by KNOBVANE_SIM_COREAUDIO (platform/sim/
// coreaudio_model.h): re-read whenever it changes, and written back after every volume a
// client sets, so a test sees what a program did. Without that variable, or with a model file
// that cannot be read, the enumerator's class is not available, as where Core Audio is missing.
// The file named by KNOBVANE_SIM_COREAUDIO_LOG gets a line for every write, for each new
// answer to which endpoint is the default (a test learns so that a program has seen a change),
// and for each call a careful client never makes ("fault: ...").
//
// Wine loads it in place of its own only from the prefix's system32 (syswow64 for a 32-bit
// program in a 64-bit prefix) with WINEDLLOVERRIDES naming mmdevapi=n: COM finds the class by
// its registered path. Notifications of a changed default, of endpoints and of new sessions
// come from a thread of ours, as Windows sends them from one of its own; the others are
// accepted and never sent, which a client must live with anyway. KNOBVANE_SIM_COREAUDIO_NOTIFY=0
// loses every notification, as real systems lose some: what a client then sees, it found by
// looking again.
#include <audiopolicy.h>
#include <endpointvolume.h>
#include <mmdeviceapi.h>
#include <propsys.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/sim/coreaudio_model.h"

namespace {

using audiomodel::Endpoint;
using audiomodel::Flow;
using audiomodel::Model;
using audiomodel::Session;

// Codes as Windows gives them (audioclient.h's AUDCLNT_* and HRESULT_FROM_WIN32(ERROR_NOT_FOUND)).
constexpr HRESULT NOT_FOUND = static_cast<HRESULT>(0x80070490);
constexpr HRESULT DEVICE_INVALIDATED = static_cast<HRESULT>(0x88890004);
constexpr HRESULT NO_SINGLE_PROCESS = static_cast<HRESULT>(0x0889000D);

// The system sounds session's display name: a resource reference, as Windows gives it.
constexpr wchar_t SYSTEM_SOUNDS_NAME[] = L"@%SystemRoot%\\System32\\AudioSrv.Dll,-202";

// PKEY_Device_FriendlyName and PKEY_Device_DeviceDesc share this format id.
constexpr GUID DEVICE_PROPERTIES = {
    0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}};
constexpr DWORD FRIENDLY_NAME = 14, DEVICE_DESCRIPTION = 2;

std::wstring Wide(const std::string& text) {
  std::wstring wide(text.size(), L'\0');
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         &wide[0], static_cast<int>(wide.size()));
  wide.resize(length > 0 ? length : 0);
  return wide;
}

std::string Narrow(const wchar_t* wide) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return std::string();
  std::string text(size, '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, &text[0], size, nullptr, nullptr);
  text.resize(size - 1);
  return text;
}

// A string the caller frees with CoTaskMemFree, as every Core Audio string out is.
HRESULT TaskString(const std::wstring& text, LPWSTR* out) {
  if (out == nullptr) return E_POINTER;
  *out = static_cast<LPWSTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(wchar_t)));
  if (*out == nullptr) return E_OUTOFMEMORY;
  memcpy(*out, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
  return S_OK;
}

bool ValidLevel(float level) { return level >= 0 && level <= 1; }

// One channel of an endpoint's or a session's levels; E_INVALIDARG for a channel it lacks.
HRESULT StoreChannel(std::vector<float>& levels, UINT32 channel, float level) {
  if (channel >= levels.size()) return E_INVALIDARG;
  levels[channel] = level;
  return S_OK;
}
HRESULT FetchChannel(const std::vector<float>& levels, UINT32 channel, float* level) {
  if (channel >= levels.size()) return E_INVALIDARG;
  *level = levels[channel];
  return S_OK;
}

// FUNCTION's own result where it gives one, else success.
template <class Function, class Value>
HRESULT Outcome(Function& function, const Value& value) {
  if constexpr (std::is_void_v<decltype(function(value))>) {
    function(value);
    return S_OK;
  } else {
    return function(value);
  }
}

// The model, the file it lives in, and the notifications owed to the clients of this process.
class World {
  // Proof that the model's lock, or the clients' lock, is held: what needs it takes one.
  template <int WHICH>
  struct Held {
    explicit Held(CRITICAL_SECTION& lock) : lock(lock) { EnterCriticalSection(&lock); }
    ~Held() { LeaveCriticalSection(&lock); }
    Held(const Held&) = delete;
    CRITICAL_SECTION& lock;
  };
  using ModelHeld = Held<0>;
  // Held while a notification is delivered, so that an unregistered client is never called.
  using ClientsHeld = Held<1>;

 public:
  // The process's one world, or null where the class is not available.
  static World* Get();

  // Runs FUNCTION on the model as the file holds it now.
  template <class Function>
  auto Read(Function function) {
    ModelHeld held(modelLock);
    Refresh(held);
    return function(static_cast<const Model&>(model));
  }

  // Runs FUNCTION (which returns an HRESULT) on the model as the file holds it now, and writes
  // the model back when it succeeded. WHAT names the write in the log.
  template <class Function>
  HRESULT Write(const std::string& what, Function function) {
    ModelHeld held(modelLock);
    Refresh(held);
    const HRESULT result = function(model);
    if (SUCCEEDED(result)) WriteBack(held);
    Log(what + (SUCCEEDED(result) ? "" : " refused"));
    return result;
  }

  void Log(const std::string& line);

  // The default endpoint's id, empty for none. A changed answer is logged, which tells a test
  // that a client has seen the change.
  std::string DefaultEndpoint(Flow flow);

  // False where the model file cannot be read: Core Audio is then missing.
  bool Available();

  void Register(IMMNotificationClient* client);
  bool Unregister(IMMNotificationClient* client);
  void Register(IAudioSessionNotification* client, const std::string& endpoint,
                const std::atomic<bool>* counted);
  bool Unregister(IAudioSessionNotification* client);

 private:
  struct SessionWatch {
    IAudioSessionNotification* client;
    std::string endpoint;
    // Its session manager's: has an enumerator of it been counted.
    const std::atomic<bool>* counted;
  };
  // What the clients were last told, to tell them what changed since.
  struct Told {
    std::string defaultRender, defaultCapture;
    std::vector<std::pair<std::string, uint32_t>> endpoints;
    size_t sessions = 0;
  };

  World(const char* modelPath, const char* logPath);
  static DWORD WINAPI WatchThread(void* world);
  void StartWatching(const ClientsHeld&);
  bool Refresh(const ModelHeld&);
  void WriteBack(const ModelHeld&);
  void Watch();
  Told Now(const ModelHeld&) const;
  void Tell(const ClientsHeld&, const Told& before, const Told& now);

  std::string path;
  FILE* log = nullptr;
  CRITICAL_SECTION modelLock;
  Model model;
  FILETIME stamp = {};
  DWORD size = 0;
  bool readable = false;
  std::string answeredDefault[2];

  CRITICAL_SECTION clientLock;
  std::vector<IMMNotificationClient*> deviceClients;
  std::vector<SessionWatch> sessionClients;
  bool notifying = true;
  HANDLE watcher = nullptr;
  Told told;
};

World::World(const char* modelPath, const char* logPath) : path(modelPath) {
  InitializeCriticalSection(&modelLock);
  InitializeCriticalSection(&clientLock);
  if (logPath != nullptr) log = fopen(logPath, "a");
  const char* notify = getenv("KNOBVANE_SIM_COREAUDIO_NOTIFY");
  notifying = notify == nullptr || strcmp(notify, "0") != 0;
  ModelHeld held(modelLock);
  Refresh(held);
}

World* World::Get() {
  static World* world = [] {
    const char* modelPath = getenv("KNOBVANE_SIM_COREAUDIO");
    return modelPath ? new World(modelPath, getenv("KNOBVANE_SIM_COREAUDIO_LOG")) : nullptr;
  }();
  return world;
}

bool World::Available() {
  ModelHeld held(modelLock);
  return Refresh(held);
}

void World::Log(const std::string& line) {
  if (log == nullptr) return;
  fprintf(log, "%s\n", line.c_str());
  fflush(log);
}

std::string World::DefaultEndpoint(Flow flow) {
  ModelHeld held(modelLock);
  Refresh(held);
  const bool render = flow == Flow::RENDER;
  const std::string& id = render ? model.defaultRender : model.defaultCapture;
  if (id != answeredDefault[render]) {
    answeredDefault[render] = id;
    Log(std::string("default ") + (render ? "render " : "capture ") + (id.empty() ? "none" : id));
  }
  return id;
}

// Reads the file again when it changed since the last read; false where it cannot be read.
bool World::Refresh(const ModelHeld&) {
  WIN32_FILE_ATTRIBUTE_DATA attributes;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &attributes)) {
    readable = false;
    return false;
  }
  if (readable && CompareFileTime(&attributes.ftLastWriteTime, &stamp) == 0 &&
      attributes.nFileSizeLow == size) {
    return true;
  }
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) return readable = false;
  std::string text;
  char block[4096];
  for (size_t got; (got = fread(block, 1, sizeof block, file)) > 0;) text.append(block, got);
  fclose(file);
  stamp = attributes.ftLastWriteTime;
  size = attributes.nFileSizeLow;
  readable = true;
  std::string error;
  if (!audiomodel::ParseModel(text, &model, &error)) {
    fprintf(stderr, "mmdevapi stand-in: %s, %s; no endpoints\n", path.c_str(), error.c_str());
    model = Model();
  }
  return true;
}

// Replaces the file whole, so that a test never reads half of it.
void World::WriteBack(const ModelHeld&) {
  const std::string text = audiomodel::FormatModel(model);
  const std::string next = path + ".next";
  FILE* file = fopen(next.c_str(), "wb");
  if (file == nullptr) return;
  const bool written = fwrite(text.data(), 1, text.size(), file) == text.size();
  if (fclose(file) != 0 || !written ||
      !MoveFileExA(next.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    fprintf(stderr, "mmdevapi stand-in: could not write %s back\n", path.c_str());
    return;
  }
  WIN32_FILE_ATTRIBUTE_DATA attributes;
  if (GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &attributes)) {
    stamp = attributes.ftLastWriteTime;
    size = attributes.nFileSizeLow;
  }
}

World::Told World::Now(const ModelHeld&) const {
  Told now;
  now.defaultRender = model.defaultRender;
  now.defaultCapture = model.defaultCapture;
  for (const Endpoint& endpoint : model.endpoints)
    now.endpoints.emplace_back(endpoint.id, endpoint.state);
  now.sessions = model.sessions.size();
  return now;
}

void World::Register(IMMNotificationClient* client) {
  ClientsHeld clients(clientLock);
  deviceClients.push_back(client);
  StartWatching(clients);
}

void World::StartWatching(const ClientsHeld&) {
  if (watcher != nullptr || !notifying) return;
  {
    ModelHeld held(modelLock);
    Refresh(held);
    told = Now(held);
  }
  watcher = CreateThread(nullptr, 0, WatchThread, this, 0, nullptr);
}

DWORD WINAPI World::WatchThread(void* world) {
  static_cast<World*>(world)->Watch();
  return 0;
}

bool World::Unregister(IMMNotificationClient* client) {
  ClientsHeld clients(clientLock);
  for (auto it = deviceClients.begin(); it != deviceClients.end(); ++it) {
    if (*it == client) return deviceClients.erase(it), true;
  }
  return false;
}

void World::Register(IAudioSessionNotification* client, const std::string& endpoint,
                     const std::atomic<bool>* counted) {
  ClientsHeld clients(clientLock);
  sessionClients.push_back({client, endpoint, counted});
  StartWatching(clients);
}

bool World::Unregister(IAudioSessionNotification* client) {
  ClientsHeld clients(clientLock);
  for (auto it = sessionClients.begin(); it != sessionClients.end(); ++it) {
    if (it->client == client) return sessionClients.erase(it), true;
  }
  return false;
}

// Polls the model for what the clients are to be told; a test's edit shows within a tick.
void World::Watch() {
  for (;;) {
    Sleep(50);
    Told now;
    {
      ModelHeld held(modelLock);
      Refresh(held);
      now = Now(held);
    }
    ClientsHeld clients(clientLock);
    Tell(clients, told, now);
    told = now;
  }
}

IAudioSessionControl* NewSessionControl(size_t number);

void World::Tell(const ClientsHeld&, const Told& before, const Told& now) {
  for (IMMNotificationClient* client : deviceClients) {
    for (const auto& [id, state] : now.endpoints) {
      bool known = false;
      for (const auto& [oldId, oldState] : before.endpoints) {
        if (oldId != id) continue;
        known = true;
        if (oldState != state) client->OnDeviceStateChanged(Wide(id).c_str(), state);
      }
      if (!known) client->OnDeviceAdded(Wide(id).c_str());
    }
    for (const auto& [oldId, oldState] : before.endpoints) {
      bool kept = false;
      for (const auto& [id, state] : now.endpoints) kept = kept || id == oldId;
      if (!kept) client->OnDeviceRemoved(Wide(oldId).c_str());
    }
    // Once per role, as Windows does.
    const std::pair<EDataFlow, const std::string*> defaults[] = {{eRender, &now.defaultRender},
                                                                 {eCapture, &now.defaultCapture}};
    for (const auto& [flow, id] : defaults) {
      const std::string& old = flow == eRender ? before.defaultRender : before.defaultCapture;
      if (old == *id) continue;
      for (ERole role : {eConsole, eMultimedia, eCommunications}) {
        client->OnDefaultDeviceChanged(flow, role, id->empty() ? nullptr : Wide(*id).c_str());
      }
    }
  }
  for (size_t number = before.sessions; number < now.sessions; ++number) {
    const std::string endpoint = Read([number](const Model& m) {
      return number < m.sessions.size() ? m.sessions[number].endpoint : "";
    });
    for (const SessionWatch& watch : sessionClients) {
      // Windows sends new sessions only to a manager whose enumerator was counted.
      if (watch.endpoint != endpoint || !*watch.counted) continue;
      IAudioSessionControl* control = NewSessionControl(number);
      watch.client->OnSessionCreated(control);
      control->Release();
    }
  }
}

// The reference counting every object of ours shares; the interfaces it serves are its bases.
template <class... Interfaces>
class Counted : public Interfaces... {
 public:
  virtual ~Counted() = default;
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&references); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG left = InterlockedDecrement(&references);
    if (left == 0) delete this;
    return left;
  }

 protected:
  // Hands out INTERFACE when riid names it or IUnknown.
  template <class Interface>
  HRESULT Serve(REFIID riid, void** out, Interface* self) {
    if (out == nullptr) return E_POINTER;
    if (riid == __uuidof(Interface) || riid == __uuidof(IUnknown)) {
      *out = self;
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }

 private:
  LONG references = 1;
};

// --- Sessions -------------------------------------------------------------------------------

// One session of the model, by its number there; the three interfaces a client reaches from
// one session control, as on Windows.
class SessionControl
    : public Counted<IAudioSessionControl2, ISimpleAudioVolume, IChannelAudioVolume> {
 public:
  explicit SessionControl(size_t number) : number(number) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (riid == __uuidof(IUnknown) || riid == __uuidof(IAudioSessionControl) ||
        riid == __uuidof(IAudioSessionControl2)) {
      *out = static_cast<IAudioSessionControl2*>(this);
    } else if (riid == __uuidof(ISimpleAudioVolume)) {
      *out = static_cast<ISimpleAudioVolume*>(this);
    } else if (riid == __uuidof(IChannelAudioVolume)) {
      // A session of master volume only has no channel levels to give.
      const bool channels =
          Read([](const Session& session) { return !session.levels.empty(); }, false);
      if (channels) *out = static_cast<IChannelAudioVolume*>(this);
    }
    if (*out == nullptr) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }

  // IAudioSessionControl
  HRESULT STDMETHODCALLTYPE GetState(AudioSessionState* state) override {
    if (state == nullptr) return E_POINTER;
    return Answer([state](const Session& s) { *state = static_cast<AudioSessionState>(s.state); });
  }
  HRESULT STDMETHODCALLTYPE GetDisplayName(LPWSTR* name) override {
    if (name == nullptr) return E_POINTER;
    const bool system = Read([](const Session& session) { return session.system; }, false);
    // "" until the application names its session, which no stand-in session does.
    return Exists() ? TaskString(system ? SYSTEM_SOUNDS_NAME : L"", name) : DEVICE_INVALIDATED;
  }
  HRESULT STDMETHODCALLTYPE SetDisplayName(LPCWSTR, LPCGUID) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIconPath(LPWSTR* path) override {
    return Exists() ? TaskString(L"", path) : DEVICE_INVALIDATED;
  }
  HRESULT STDMETHODCALLTYPE SetIconPath(LPCWSTR, LPCGUID) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetGroupingParam(GUID* grouping) override {
    if (grouping == nullptr) return E_POINTER;
    *grouping = GUID_NULL;
    return Exists() ? S_OK : DEVICE_INVALIDATED;
  }
  HRESULT STDMETHODCALLTYPE SetGroupingParam(LPCGUID, LPCGUID) override { return E_NOTIMPL; }
  // Accepted, never called: a client must not depend on session events.
  HRESULT STDMETHODCALLTYPE RegisterAudioSessionNotification(IAudioSessionEvents* events) override {
    return events ? S_OK : E_POINTER;
  }
  HRESULT STDMETHODCALLTYPE
  UnregisterAudioSessionNotification(IAudioSessionEvents* events) override {
    return events ? S_OK : E_POINTER;
  }

  // IAudioSessionControl2
  HRESULT STDMETHODCALLTYPE GetSessionIdentifier(LPWSTR* id) override {
    return Identifier(id, false);
  }
  HRESULT STDMETHODCALLTYPE GetSessionInstanceIdentifier(LPWSTR* id) override {
    return Identifier(id, true);
  }
  HRESULT STDMETHODCALLTYPE GetProcessId(DWORD* pid) override {
    if (pid == nullptr) return E_POINTER;
    bool many = false;
    const HRESULT result = Answer([pid, &many](const Session& s) {
      *pid = s.pid;
      many = s.manyProcesses;
    });
    return SUCCEEDED(result) && many ? NO_SINGLE_PROCESS : result;
  }
  HRESULT STDMETHODCALLTYPE IsSystemSoundsSession() override {
    const bool system = Read([](const Session& session) { return session.system; }, false);
    return system ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE SetDuckingPreference(BOOL) override { return S_OK; }

  // ISimpleAudioVolume
  HRESULT STDMETHODCALLTYPE SetMasterVolume(float level, LPCGUID) override {
    if (!ValidLevel(level)) return E_INVALIDARG;
    return Change("master=" + std::to_string(level), [level](Session& s) {
      s.master = level;
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE GetMasterVolume(float* level) override {
    if (level == nullptr) return E_POINTER;
    return Answer([level](const Session& s) { *level = s.master; });
  }
  HRESULT STDMETHODCALLTYPE SetMute(BOOL mute, LPCGUID) override {
    return Change(mute ? "mute=1" : "mute=0", [mute](Session& s) {
      s.muted = mute != FALSE;
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE GetMute(BOOL* mute) override {
    if (mute == nullptr) return E_POINTER;
    return Answer([mute](const Session& s) { *mute = s.muted; });
  }

  // IChannelAudioVolume
  HRESULT STDMETHODCALLTYPE GetChannelCount(UINT32* count) override {
    if (count == nullptr) return E_POINTER;
    return Answer([count](const Session& s) { *count = static_cast<UINT32>(s.levels.size()); });
  }
  HRESULT STDMETHODCALLTYPE SetChannelVolume(UINT32 channel, const float level, LPCGUID) override {
    if (!ValidLevel(level)) return E_INVALIDARG;
    return Change("channel " + std::to_string(channel) + "=" + std::to_string(level),
                  [channel, level](Session& s) { return StoreChannel(s.levels, channel, level); });
  }
  HRESULT STDMETHODCALLTYPE GetChannelVolume(UINT32 channel, float* level) override {
    if (level == nullptr) return E_POINTER;
    return Answer([&](const Session& s) { return FetchChannel(s.levels, channel, level); });
  }
  HRESULT STDMETHODCALLTYPE SetAllVolumes(UINT32 count, const float* levels, LPCGUID) override {
    if (levels == nullptr) return E_POINTER;
    std::string what = "levels=";
    for (UINT32 i = 0; i < count; ++i) {
      if (!ValidLevel(levels[i])) return E_INVALIDARG;
      what += (i ? "," : "") + std::to_string(levels[i]);
    }
    return Change(what, [count, levels](Session& s) {
      if (count != s.levels.size()) return E_INVALIDARG;
      s.levels.assign(levels, levels + count);
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE GetAllVolumes(UINT32 count, float* levels) override {
    if (levels == nullptr) return E_POINTER;
    return Answer([&](const Session& s) {
      if (count != s.levels.size()) return E_INVALIDARG;
      std::copy(s.levels.begin(), s.levels.end(), levels);
      return S_OK;
    });
  }

 private:
  // FUNCTION's answer on this session, or OTHERWISE when the model no longer has it.
  template <class Function, class Value>
  Value Read(Function function, Value otherwise) {
    World* world = World::Get();
    if (world == nullptr) return otherwise;
    return world->Read([&](const Model& model) {
      return number < model.sessions.size() ? function(model.sessions[number]) : otherwise;
    });
  }
  bool Exists() {
    return Read([](const Session&) { return true; }, false);
  }
  template <class Function>
  HRESULT Answer(Function function) {
    return Read([&](const Session& s) { return Outcome(function, s); }, DEVICE_INVALIDATED);
  }
  template <class Function>
  HRESULT Change(const std::string& what, Function function) {
    World* world = World::Get();
    if (world == nullptr) return DEVICE_INVALIDATED;
    return world->Write("session " + std::to_string(number) + " " + what, [&](Model& model) {
      return number < model.sessions.size() ? function(model.sessions[number]) : DEVICE_INVALIDATED;
    });
  }
  HRESULT Identifier(LPWSTR* id, bool instance) {
    if (id == nullptr) return E_POINTER;
    Session session;
    if (!Read(
            [&session](const Session& s) {
              session = s;
              return true;
            },
            false)) {
      return DEVICE_INVALIDATED;
    }
    return TaskString(
        Wide(instance ? audiomodel::SessionInstanceIdentifier(session, ImagePath(session), number)
                      : audiomodel::SessionIdentifier(session, ImagePath(session))),
        id);
  }
  // The model's path for the session's executable, else the one its process runs.
  static std::string ImagePath(const Session& session) {
    if (!session.path.empty() || session.manyProcesses || session.system) return session.path;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, session.pid);
    if (process == nullptr) return std::string();
    wchar_t image[MAX_PATH];
    DWORD length = MAX_PATH;
    const bool named = QueryFullProcessImageNameW(process, 0, image, &length);
    CloseHandle(process);
    return named ? Narrow(image) : std::string();
  }

  const size_t number;
};

IAudioSessionControl* NewSessionControl(size_t number) {
  return static_cast<IAudioSessionControl2*>(new SessionControl(number));
}

// A snapshot of one endpoint's sessions, as Windows' enumerator is: later sessions need a
// later enumerator.
class SessionEnumerator : public Counted<IAudioSessionEnumerator> {
 public:
  // Keeps its manager, whose flag it sets, as long as it lives.
  SessionEnumerator(std::vector<size_t> numbers, std::atomic<bool>* counted, IUnknown* manager)
      : numbers(std::move(numbers)), counted(counted), manager(manager) {
    manager->AddRef();
  }
  ~SessionEnumerator() override { manager->Release(); }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    return Serve(riid, out, static_cast<IAudioSessionEnumerator*>(this));
  }
  HRESULT STDMETHODCALLTYPE GetCount(int* count) override {
    if (count == nullptr) return E_POINTER;
    *count = static_cast<int>(numbers.size());
    *counted = true;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetSession(int index, IAudioSessionControl** session) override {
    if (session == nullptr) return E_POINTER;
    *session = nullptr;
    if (index < 0 || static_cast<size_t>(index) >= numbers.size()) {
      // Windows 11 crashes the caller here; the log makes the fault a test's failure.
      if (World* world = World::Get()) {
        world->Log("fault: GetSession(" + std::to_string(index) + ") of " +
                   std::to_string(numbers.size()) + " sessions");
      }
      return E_INVALIDARG;
    }
    *session = NewSessionControl(numbers[index]);
    return S_OK;
  }

 private:
  const std::vector<size_t> numbers;
  std::atomic<bool>* const counted;
  IUnknown* const manager;
};

class SessionManager : public Counted<IAudioSessionManager2> {
 public:
  explicit SessionManager(std::string endpoint) : endpoint(std::move(endpoint)) {}
  ~SessionManager() override {
    // A client that forgot to unregister is not called through a manager that is gone.
    if (World* world = World::Get()) {
      for (IAudioSessionNotification* client : registered) world->Unregister(client);
    }
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (out != nullptr && riid == __uuidof(IAudioSessionManager)) {
      *out = static_cast<IAudioSessionManager*>(this);
      AddRef();
      return S_OK;
    }
    return Serve(riid, out, static_cast<IAudioSessionManager2*>(this));
  }
  // A process's own sessions: the programs under test play nothing.
  HRESULT STDMETHODCALLTYPE GetAudioSessionControl(LPCGUID, DWORD,
                                                   IAudioSessionControl**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetSimpleAudioVolume(LPCGUID, DWORD, ISimpleAudioVolume**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetSessionEnumerator(IAudioSessionEnumerator** out) override {
    if (out == nullptr) return E_POINTER;
    World* world = World::Get();
    if (world == nullptr) return *out = nullptr, DEVICE_INVALIDATED;
    std::vector<size_t> numbers = world->Read([this](const Model& model) {
      std::vector<size_t> found;
      for (size_t i = 0; i < model.sessions.size(); ++i) {
        const Session& session = model.sessions[i];
        if (session.endpoint == endpoint && session.state != audiomodel::SESSION_EXPIRED)
          found.push_back(i);
      }
      return found;
    });
    *out = new SessionEnumerator(std::move(numbers), &counted,
                                 static_cast<IAudioSessionManager2*>(this));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE
  RegisterSessionNotification(IAudioSessionNotification* client) override {
    World* world = World::Get();
    if (client == nullptr) return E_POINTER;
    if (world == nullptr) return DEVICE_INVALIDATED;
    world->Register(client, endpoint, &counted);
    registered.push_back(client);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE
  UnregisterSessionNotification(IAudioSessionNotification* client) override {
    World* world = World::Get();
    if (client == nullptr) return E_POINTER;
    if (world == nullptr || !world->Unregister(client)) return E_INVALIDARG;
    for (auto it = registered.begin(); it != registered.end(); ++it) {
      if (*it == client) {
        registered.erase(it);
        break;
      }
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE RegisterDuckNotification(LPCWSTR,
                                                     IAudioVolumeDuckNotification*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE UnregisterDuckNotification(IAudioVolumeDuckNotification*) override {
    return E_NOTIMPL;
  }

 private:
  const std::string endpoint;
  // Read by the watcher thread.
  std::atomic<bool> counted{false};
  std::vector<IAudioSessionNotification*> registered;
};

// --- Endpoints ------------------------------------------------------------------------------

class EndpointVolume : public Counted<IAudioEndpointVolume> {
 public:
  explicit EndpointVolume(std::string id) : id(std::move(id)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    return Serve(riid, out, static_cast<IAudioEndpointVolume*>(this));
  }
  // Accepted, never called: the volume a client set is what it knows already.
  HRESULT STDMETHODCALLTYPE
  RegisterControlChangeNotify(IAudioEndpointVolumeCallback* notify) override {
    return notify ? S_OK : E_POINTER;
  }
  HRESULT STDMETHODCALLTYPE
  UnregisterControlChangeNotify(IAudioEndpointVolumeCallback* notify) override {
    return notify ? S_OK : E_POINTER;
  }
  HRESULT STDMETHODCALLTYPE GetChannelCount(UINT* count) override {
    if (count == nullptr) return E_POINTER;
    return Answer([count](const Endpoint& e) { *count = static_cast<UINT>(e.levels.size()); });
  }
  // Decibels: no client of ours speaks them.
  HRESULT STDMETHODCALLTYPE SetMasterVolumeLevel(float, LPCGUID) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetMasterVolumeLevel(float*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetChannelVolumeLevel(UINT, float, LPCGUID) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetChannelVolumeLevel(UINT, float*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetVolumeRange(float*, float*, float*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetVolumeStepInfo(UINT*, UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE VolumeStepUp(LPCGUID) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE VolumeStepDown(LPCGUID) override { return E_NOTIMPL; }

  HRESULT STDMETHODCALLTYPE SetMasterVolumeLevelScalar(float level, LPCGUID) override {
    if (!ValidLevel(level)) return E_INVALIDARG;
    return Change("master=" + std::to_string(level), [level](Endpoint& e) {
      audiomodel::SetEndpointMaster(e, level);
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE GetMasterVolumeLevelScalar(float* level) override {
    if (level == nullptr) return E_POINTER;
    return Answer([level](const Endpoint& e) { *level = audiomodel::EndpointMaster(e); });
  }
  HRESULT STDMETHODCALLTYPE SetChannelVolumeLevelScalar(UINT channel, float level,
                                                        LPCGUID) override {
    if (!ValidLevel(level)) return E_INVALIDARG;
    return Change("channel " + std::to_string(channel) + "=" + std::to_string(level),
                  [channel, level](Endpoint& e) { return StoreChannel(e.levels, channel, level); });
  }
  HRESULT STDMETHODCALLTYPE GetChannelVolumeLevelScalar(UINT channel, float* level) override {
    if (level == nullptr) return E_POINTER;
    return Answer([&](const Endpoint& e) { return FetchChannel(e.levels, channel, level); });
  }
  HRESULT STDMETHODCALLTYPE SetMute(BOOL mute, LPCGUID) override {
    return Change(mute ? "mute=1" : "mute=0", [mute](Endpoint& e) {
      e.muted = mute != FALSE;
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE GetMute(BOOL* mute) override {
    if (mute == nullptr) return E_POINTER;
    return Answer([mute](const Endpoint& e) { *mute = e.muted; });
  }
  HRESULT STDMETHODCALLTYPE QueryHardwareSupport(DWORD* mask) override {
    if (mask == nullptr) return E_POINTER;
    *mask = 0;
    return S_OK;
  }

 private:
  template <class Function>
  HRESULT Answer(Function function) {
    World* world = World::Get();
    if (world == nullptr) return DEVICE_INVALIDATED;
    return world->Read([&](const Model& model) {
      for (const Endpoint& endpoint : model.endpoints) {
        if (endpoint.id == id) return Outcome(function, endpoint);
      }
      return DEVICE_INVALIDATED;
    });
  }
  template <class Function>
  HRESULT Change(const std::string& what, Function function) {
    World* world = World::Get();
    if (world == nullptr) return DEVICE_INVALIDATED;
    return world->Write("endpoint " + id + " " + what, [&](Model& model) {
      Endpoint* endpoint = audiomodel::FindEndpoint(model, id);
      return endpoint ? function(*endpoint) : DEVICE_INVALIDATED;
    });
  }

  const std::string id;
};

// The device's name, the one property a client of ours may read.
class PropertyStore : public Counted<IPropertyStore> {
 public:
  explicit PropertyStore(std::string name) : name(std::move(name)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    return Serve(riid, out, static_cast<IPropertyStore*>(this));
  }
  HRESULT STDMETHODCALLTYPE GetCount(DWORD* count) override {
    if (count == nullptr) return E_POINTER;
    *count = 2;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetAt(DWORD index, PROPERTYKEY* key) override {
    if (key == nullptr) return E_POINTER;
    if (index >= 2) return E_INVALIDARG;
    key->fmtid = DEVICE_PROPERTIES;
    key->pid = index == 0 ? FRIENDLY_NAME : DEVICE_DESCRIPTION;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetValue(REFPROPERTYKEY key, PROPVARIANT* value) override {
    if (value == nullptr) return E_POINTER;
    PropVariantInit(value);
    // A property the device does not have is empty, and no failure.
    if (key.fmtid != DEVICE_PROPERTIES ||
        (key.pid != FRIENDLY_NAME && key.pid != DEVICE_DESCRIPTION)) {
      return S_OK;
    }
    const HRESULT result = TaskString(Wide(name), &value->pwszVal);
    if (SUCCEEDED(result)) value->vt = VT_LPWSTR;
    return result;
  }
  HRESULT STDMETHODCALLTYPE SetValue(REFPROPERTYKEY, REFPROPVARIANT) override {
    return STG_E_ACCESSDENIED;
  }
  HRESULT STDMETHODCALLTYPE Commit() override { return STG_E_ACCESSDENIED; }

 private:
  const std::string name;
};

class Device : public Counted<IMMDevice, IMMEndpoint> {
 public:
  explicit Device(std::string id) : id(std::move(id)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (out != nullptr && riid == __uuidof(IMMEndpoint)) {
      *out = static_cast<IMMEndpoint*>(this);
      AddRef();
      return S_OK;
    }
    return Serve(riid, out, static_cast<IMMDevice*>(this));
  }
  HRESULT STDMETHODCALLTYPE Activate(REFIID riid, DWORD, PROPVARIANT*, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (!Find([](const Endpoint&) {})) return DEVICE_INVALIDATED;
    if (riid == __uuidof(IAudioEndpointVolume)) {
      *out = static_cast<IAudioEndpointVolume*>(new EndpointVolume(id));
    } else if (riid == __uuidof(IAudioSessionManager2) || riid == __uuidof(IAudioSessionManager)) {
      SessionManager* manager = new SessionManager(id);
      if (riid == __uuidof(IAudioSessionManager2)) {
        *out = static_cast<IAudioSessionManager2*>(manager);
      } else {
        *out = static_cast<IAudioSessionManager*>(manager);
      }
    } else {
      return E_NOINTERFACE;
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OpenPropertyStore(DWORD, IPropertyStore** store) override {
    if (store == nullptr) return E_POINTER;
    std::string name;
    if (!Find([&name](const Endpoint& e) { name = e.name; }))
      return *store = nullptr, DEVICE_INVALIDATED;
    *store = new PropertyStore(name);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetId(LPWSTR* out) override { return TaskString(Wide(id), out); }
  HRESULT STDMETHODCALLTYPE GetState(DWORD* state) override {
    if (state == nullptr) return E_POINTER;
    *state = audiomodel::STATE_NOTPRESENT;
    Find([state](const Endpoint& e) { *state = e.state; });
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDataFlow(EDataFlow* flow) override {
    if (flow == nullptr) return E_POINTER;
    return Find([flow](const Endpoint& e) { *flow = e.flow == Flow::RENDER ? eRender : eCapture; })
               ? S_OK
               : DEVICE_INVALIDATED;
  }

 private:
  template <class Function>
  bool Find(Function function) {
    World* world = World::Get();
    return world && world->Read([&](const Model& model) {
      for (const Endpoint& endpoint : model.endpoints) {
        if (endpoint.id == id) return function(endpoint), true;
      }
      return false;
    });
  }

  const std::string id;
};

// A snapshot of the endpoints asked for, as Windows' collection is.
class DeviceCollection : public Counted<IMMDeviceCollection> {
 public:
  explicit DeviceCollection(std::vector<std::string> ids) : ids(std::move(ids)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    return Serve(riid, out, static_cast<IMMDeviceCollection*>(this));
  }
  HRESULT STDMETHODCALLTYPE GetCount(UINT* count) override {
    if (count == nullptr) return E_POINTER;
    *count = static_cast<UINT>(ids.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Item(UINT index, IMMDevice** device) override {
    if (device == nullptr) return E_POINTER;
    *device = nullptr;
    if (index >= ids.size()) return E_INVALIDARG;
    *device = new Device(ids[index]);
    return S_OK;
  }

 private:
  const std::vector<std::string> ids;
};

class DeviceEnumerator : public Counted<IMMDeviceEnumerator> {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    return Serve(riid, out, static_cast<IMMDeviceEnumerator*>(this));
  }
  HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow flow, DWORD mask,
                                               IMMDeviceCollection** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if ((flow != eRender && flow != eCapture && flow != eAll) || (mask & ~DWORD{0xF}) != 0) {
      return E_INVALIDARG;
    }
    World* world = World::Get();
    if (world == nullptr) return E_FAIL;
    *out = new DeviceCollection(world->Read([flow, mask](const Model& model) {
      std::vector<std::string> ids;
      for (const Endpoint& endpoint : model.endpoints) {
        const bool flows = flow == eAll || (flow == eRender) == (endpoint.flow == Flow::RENDER);
        if (flows && (endpoint.state & mask) != 0) ids.push_back(endpoint.id);
      }
      return ids;
    }));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDefaultAudioEndpoint(EDataFlow flow, ERole role,
                                                    IMMDevice** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if ((flow != eRender && flow != eCapture) || static_cast<unsigned>(role) > eCommunications) {
      return E_INVALIDARG;
    }
    World* world = World::Get();
    const std::string id =
        world ? world->DefaultEndpoint(flow == eRender ? Flow::RENDER : Flow::CAPTURE) : "";
    if (id.empty()) return NOT_FOUND;
    *out = new Device(id);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDevice(LPCWSTR wideId, IMMDevice** out) override {
    if (out == nullptr || wideId == nullptr) return E_POINTER;
    *out = nullptr;
    const std::string id = Narrow(wideId);
    World* world = World::Get();
    const bool known = world && world->Read([&id](const Model& model) {
      return audiomodel::FindEndpoint(model, id) != nullptr;
    });
    if (!known) return NOT_FOUND;
    *out = new Device(id);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE
  RegisterEndpointNotificationCallback(IMMNotificationClient* client) override {
    if (client == nullptr) return E_POINTER;
    World* world = World::Get();
    if (world == nullptr) return E_FAIL;
    world->Register(client);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE
  UnregisterEndpointNotificationCallback(IMMNotificationClient* client) override {
    if (client == nullptr) return E_POINTER;
    World* world = World::Get();
    return world && world->Unregister(client) ? S_OK : NOT_FOUND;
  }
};

class ClassFactory : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (riid == __uuidof(IUnknown) || riid == __uuidof(IClassFactory)) {
      *out = this;
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  // The one factory lives as long as the process.
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    DeviceEnumerator* enumerator = new DeviceEnumerator;
    const HRESULT result = enumerator->QueryInterface(riid, out);
    enumerator->Release();
    return result;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

ClassFactory factory;

}  // namespace

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE
    DllGetClassObject(REFCLSID clsid, REFIID riid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (clsid != __uuidof(MMDeviceEnumerator) || World::Get() == nullptr ||
      !World::Get()->Available()) {
    return CLASS_E_CLASSNOTAVAILABLE;
  }
  return factory.QueryInterface(riid, out);
}

// The watcher thread runs in this code: never unloaded.
extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllCanUnloadNow() { return S_FALSE; }
