// Core Audio through COM for the Windows mixer face: the default endpoints' volumes
// (IAudioEndpointVolume) and the sessions of every active render endpoint (IAudioSessionManager2)
// with their process's executable and their volumes (ISimpleAudioVolume, IChannelAudioVolume).
//
// What it relies on, and where that is written:
// - Results are tested with SUCCEEDED: several calls answer success codes other than S_OK
//   (IAudioSessionControl2::GetProcessId's AUDCLNT_S_NO_SINGLE_PROCESS, IsSystemSoundsSession's
//   S_FALSE), https://learn.microsoft.com/en-us/windows/win32/api/audiopolicy/
//   nf-audiopolicy-iaudiosessioncontrol2-getprocessid and -issystemsoundssession.
// - GetDefaultAudioEndpoint fails (E_NOTFOUND) where there is no such device: Wine's
//   dlls/mmdevapi/tests/mmdevenum.c, run on real Windows.
// - A session enumerator is a snapshot of the sessions when it was made; a later one shows later
//   sessions, and GetSession takes 0..count-1 only: Wine's dlls/mmdevapi/tests/render.c, and
//   https://learn.microsoft.com/en-us/windows/win32/api/audiopolicy/
//   nf-audiopolicy-iaudiosessionenumerator-getsession.
// - OnSessionCreated comes only to a multithreaded apartment, only after GetCount was called on
//   an enumerator, and may be missed: https://learn.microsoft.com/en-us/windows/win32/api/
//   audiopolicy/nf-audiopolicy-iaudiosessionmanager2-registersessionnotification and
//   nn-audiopolicy-iaudiosessionnotification. Hence the rescan behind it.
// - IMMNotificationClient's methods must not block, register or unregister:
//   https://learn.microsoft.com/en-us/windows/win32/api/mmdeviceapi/nn-mmdeviceapi-immnotificationclient.
// - The session identifier holds the executable's path, "<device id>|<NT path>%b{...}": Wine's
//   render.c prints it on real Windows; the format itself is not documented.
// - A session's ISimpleAudioVolume and IChannelAudioVolume are had by QueryInterface on its
//   control. Documented for the program's own sessions only; for other programs' sessions it
//   rests on what every volume mixer does, and is not checked on a real Windows here.
// - A NULL event context is allowed on every volume write: https://learn.microsoft.com/en-us/
//   windows/win32/api/audioclient/nf-audioclient-isimpleaudiovolume-setmastervolume,
//   nf-audioclient-ichannelaudiovolume-setallvolumes, and https://learn.microsoft.com/en-us/
//   windows/win32/api/endpointvolume/nf-endpointvolume-iaudioendpointvolume-setchannelvolumelevelscalar.
#include "platform/windows/core_audio.h"

#include "platform/coreaudio/rules.h"

namespace coreaudio {
namespace {

template <typename T>
void Release(T** object) {
  if (*object != nullptr) (*object)->Release();
  *object = nullptr;
}

// A wide text Core Audio allocated, in UTF-8, and freed; "" when none or too long.
void TakeText(LPWSTR wide, char (&text)[TEXT_BYTES]) {
  text[0] = '\0';
  if (wide == nullptr) return;
  if (WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, TEXT_BYTES, nullptr, nullptr) == 0) {
    text[0] = '\0';
  }
  CoTaskMemFree(wide);
}

uint32_t EndpointID(IMMDevice* device) {
  LPWSTR id = nullptr;
  char text[TEXT_BYTES];
  TakeText(SUCCEEDED(device->GetId(&id)) ? id : nullptr, text);
  return Fingerprint(text);
}

}  // namespace

HRESULT STDMETHODCALLTYPE DevicesClient::QueryInterface(REFIID iid, void** object) {
  if (iid == __uuidof(IUnknown) || iid == __uuidof(IMMNotificationClient)) {
    *object = static_cast<IMMNotificationClient*>(this);
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

HRESULT STDMETHODCALLTYPE SessionsClient::QueryInterface(REFIID iid, void** object) {
  if (iid == __uuidof(IUnknown) || iid == __uuidof(IAudioSessionNotification)) {
    *object = static_cast<IAudioSessionNotification*>(this);
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ComAudio::ComAudio(volatile LONG* changed, HANDLE wake)
    : devicesClient_(Marker{changed, wake}), sessionsClient_(Marker{changed, wake}) {}

ComAudio::~ComAudio() {
  DropSessions();
  for (Endpoint& endpoint : endpoints_) DropEndpoint(&endpoint);
  Release(&defaults_[RENDER]);
  Release(&defaults_[CAPTURE]);
  if (enumerator_ != nullptr) enumerator_->UnregisterEndpointNotificationCallback(&devicesClient_);
  Release(&enumerator_);
}

bool ComAudio::Start() {
  if (FAILED(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                              __uuidof(IMMDeviceEnumerator),
                              reinterpret_cast<void**>(&enumerator_)))) {
    enumerator_ = nullptr;
    return false;
  }
  // Without it a changed default is still found by the rescan.
  enumerator_->RegisterEndpointNotificationCallback(&devicesClient_);
  queryImageName_ = reinterpret_cast<QueryImageName>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "QueryFullProcessImageNameW")));
  return true;
}

void ComAudio::Refresh() {
  RefreshDefault(RENDER);
  RefreshDefault(CAPTURE);
  RefreshEndpoints();
}

// The console role: what Windows plays and records through unless a program asks otherwise.
// No default (E_NOTFOUND where there is no device: mmdevenum.c) leaves the line waiting.
void ComAudio::RefreshDefault(EndpointFlow flow) {
  IMMDevice* device = nullptr;
  if (FAILED(enumerator_->GetDefaultAudioEndpoint(flow == RENDER ? eRender : eCapture, eConsole,
                                                  &device))) {
    Release(&defaults_[flow]);
    defaultIds_[flow] = 0;
    return;
  }
  const uint32_t id = EndpointID(device);
  if (id != defaultIds_[flow] || defaults_[flow] == nullptr) {
    Release(&defaults_[flow]);
    if (FAILED(device->Activate(__uuidof(IAudioEndpointVolume), CLSCTX_ALL, nullptr,
                                reinterpret_cast<void**>(&defaults_[flow])))) {
      defaults_[flow] = nullptr;
    }
    defaultIds_[flow] = defaults_[flow] != nullptr ? id : 0;
  }
  device->Release();
}

// Each active render endpoint's session manager, kept with its notification registered while the
// endpoint stays: registering again at every rescan could lose a session created in between.
void ComAudio::RefreshEndpoints() {
  for (Endpoint& endpoint : endpoints_) endpoint.present = false;
  IMMDeviceCollection* collection = nullptr;
  UINT count = 0;
  if (SUCCEEDED(enumerator_->EnumAudioEndpoints(eRender, DEVICE_STATE_ACTIVE, &collection)) &&
      SUCCEEDED(collection->GetCount(&count))) {
    for (UINT i = 0; i < count; ++i) {
      IMMDevice* device = nullptr;
      if (FAILED(collection->Item(i, &device))) continue;
      const uint32_t id = EndpointID(device);
      Endpoint* known = nullptr;
      Endpoint* free = nullptr;
      for (Endpoint& endpoint : endpoints_) {
        if (endpoint.manager != nullptr && endpoint.id == id) known = &endpoint;
        if (endpoint.manager == nullptr && free == nullptr) free = &endpoint;
      }
      if (known == nullptr && free != nullptr &&
          SUCCEEDED(device->Activate(__uuidof(IAudioSessionManager2), CLSCTX_ALL, nullptr,
                                     reinterpret_cast<void**>(&free->manager)))) {
        free->id = id;
        free->registered = SUCCEEDED(free->manager->RegisterSessionNotification(&sessionsClient_));
        known = free;
      }
      if (known != nullptr) known->present = true;
      device->Release();
    }
  }
  if (collection != nullptr) collection->Release();
  for (Endpoint& endpoint : endpoints_) {
    if (!endpoint.present) DropEndpoint(&endpoint);
  }
}

void ComAudio::DropEndpoint(Endpoint* endpoint) {
  if (endpoint->manager == nullptr) return;
  if (endpoint->registered) endpoint->manager->UnregisterSessionNotification(&sessionsClient_);
  Release(&endpoint->manager);
  endpoint->registered = false;
}

bool ComAudio::ReadDefault(EndpointFlow flow, Levels* levels, uint32_t* endpoint) {
  IAudioEndpointVolume* volume = defaults_[flow];
  UINT count = 0;
  if (volume == nullptr || FAILED(volume->GetChannelCount(&count))) return false;
  levels->count = count < MAX_LEVELS ? count : MAX_LEVELS;
  for (UINT i = 0; i < levels->count; ++i) {
    if (FAILED(volume->GetChannelVolumeLevelScalar(i, &levels->level[i]))) return false;
  }
  *endpoint = defaultIds_[flow];
  return true;
}

bool ComAudio::WriteDefault(EndpointFlow flow, const Levels& levels) {
  IAudioEndpointVolume* volume = defaults_[flow];
  bool written = volume != nullptr;
  for (UINT i = 0; written && i < levels.count; ++i) {
    written = SUCCEEDED(volume->SetChannelVolumeLevelScalar(i, levels.level[i], nullptr));
  }
  return written;
}

void ComAudio::DropSessions() {
  for (int i = 0; i < sessionCount_; ++i) {
    Release(&sessions_[i].master);
    Release(&sessions_[i].channels);
  }
  sessionCount_ = 0;
}

void ComAudio::ScanSessions(SessionSeen seen, void* context) {
  DropSessions();
  for (Endpoint& endpoint : endpoints_) {
    if (endpoint.manager != nullptr) ScanEndpoint(endpoint.manager, seen, context);
  }
}

void ComAudio::ScanEndpoint(IAudioSessionManager2* manager, SessionSeen seen, void* context) {
  IAudioSessionEnumerator* sessions = nullptr;
  int count = 0;
  if (FAILED(manager->GetSessionEnumerator(&sessions))) return;
  // GetCount also starts the session notifications (RegisterSessionNotification's page).
  if (FAILED(sessions->GetCount(&count))) count = 0;
  // 0..count-1 only: GetSession(count) is a crash on Windows 11 (render.c's test of it).
  for (int i = 0; i < count && sessionCount_ < MAX_SESSIONS; ++i) {
    IAudioSessionControl* control = nullptr;
    IAudioSessionControl2* control2 = nullptr;
    if (FAILED(sessions->GetSession(i, &control))) continue;
    AudioSessionState state = AudioSessionStateInactive;
    Session& session = sessions_[sessionCount_];
    session = Session{nullptr, nullptr};
    // An expired session has ended: nothing of it is heard any more.
    if (SUCCEEDED(control->GetState(&state)) && state != AudioSessionStateExpired &&
        SUCCEEDED(control->QueryInterface(__uuidof(IAudioSessionControl2),
                                          reinterpret_cast<void**>(&control2))) &&
        // Another program's session's volumes: see the file's opening comment.
        SUCCEEDED(control->QueryInterface(__uuidof(ISimpleAudioVolume),
                                          reinterpret_cast<void**>(&session.master)))) {
      if (FAILED(control->QueryInterface(__uuidof(IChannelAudioVolume),
                                         reinterpret_cast<void**>(&session.channels)))) {
        session.channels = nullptr;
      }
      LPWSTR text = nullptr;
      TakeText(SUCCEEDED(control2->GetSessionInstanceIdentifier(&text)) ? text : nullptr,
               instance_);
      text = nullptr;
      TakeText(SUCCEEDED(control2->GetSessionIdentifier(&text)) ? text : nullptr, identifier_);
      // S_OK only: AUDCLNT_S_NO_SINGLE_PROCESS succeeds too, with no one process to name.
      DWORD pid = 0;
      imagePath_[0] = '\0';
      if (control2->GetProcessId(&pid) == S_OK && pid != 0) ImagePath(pid);
      // S_OK for the system sounds session, S_FALSE for any other (its documentation page).
      const bool systemSounds = control2->IsSystemSoundsSession() == S_OK;
      const int number = sessionCount_++;
      seen(context, number, SessionFacts{instance_, identifier_, imagePath_, systemSounds});
    } else {
      Release(&session.master);
    }
    Release(&control2);
    control->Release();
  }
  sessions->Release();
}

// The executable of a session's process, when we may ask the process.
void ComAudio::ImagePath(DWORD pid) {
  // PROCESS_QUERY_LIMITED_INFORMATION: the least a process lets others ask, even an elevated one.
  const HANDLE process = queryImageName_ != nullptr ? OpenProcess(0x1000, FALSE, pid) : nullptr;
  if (process == nullptr) return;
  WCHAR wide[1024];
  DWORD size = sizeof wide / sizeof wide[0];
  if (queryImageName_(process, 0, wide, &size) &&
      WideCharToMultiByte(CP_UTF8, 0, wide, -1, imagePath_, TEXT_BYTES, nullptr, nullptr) == 0) {
    imagePath_[0] = '\0';
  }
  CloseHandle(process);
}

bool ComAudio::ReadSession(int session, float* master, Levels* channels) {
  if (session < 0 || session >= sessionCount_) return false;
  const Session& s = sessions_[session];
  if (FAILED(s.master->GetMasterVolume(master))) return false;
  UINT count = 0;
  channels->count = 0;
  if (s.channels != nullptr && SUCCEEDED(s.channels->GetChannelCount(&count)) && count > 0 &&
      count <= MAX_LEVELS && SUCCEEDED(s.channels->GetAllVolumes(count, channels->level))) {
    channels->count = count;
  }
  return true;
}

bool ComAudio::WriteSession(int session, float master, const Levels& channels) {
  if (session < 0 || session >= sessionCount_) return false;
  const Session& s = sessions_[session];
  bool written = SUCCEEDED(s.master->SetMasterVolume(master, nullptr));
  if (channels.count != 0 && s.channels != nullptr) {
    written =
        SUCCEEDED(s.channels->SetAllVolumes(channels.count, channels.level, nullptr)) && written;
  }
  return written;
}

}  // namespace coreaudio
