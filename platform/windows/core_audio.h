// Core Audio through COM, as the Windows mixer face's rules need it (platform/coreaudio/
// audio_system.h). Every call, the creation and the last release included, is made on the one
// thread of the multithreaded apartment that owns the object (platform/windows/mixer.cpp).
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// After <windows.h>, whose types they use.
#include <audiopolicy.h>
#include <endpointvolume.h>
#include <mmdeviceapi.h>

#include "platform/coreaudio/audio_system.h"
#include "platform/coreaudio/lines.h"

namespace coreaudio {

// Render endpoints whose sessions are followed; more (no machine has them) are left out.
constexpr int MAX_ENDPOINTS = 16;
// Texts from Core Audio, in UTF-8; identifiers carry a device id and a path.
constexpr int TEXT_BYTES = 2048;

// Notifications only mark that something changed and wake the owner's thread. They live as long
// as the ComAudio that registered them, so their reference counts do nothing.
struct Marker {
  volatile LONG* changed;
  HANDLE wake;
  void Mark() {
    InterlockedExchange(changed, 1);
    SetEvent(wake);
  }
};

class DevicesClient : public IMMNotificationClient {
 public:
  explicit DevicesClient(Marker marker) : marker_(marker) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR, DWORD) override { return Mark(); }
  HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR) override { return Mark(); }
  HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR) override { return Mark(); }
  // Comes once per role; any of them is worth a look.
  HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow, ERole, LPCWSTR) override {
    return Mark();
  }
  HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR, const PROPERTYKEY) override {
    return S_OK;
  }

 private:
  HRESULT Mark() {
    marker_.Mark();
    return S_OK;
  }
  Marker marker_;
};

class SessionsClient : public IAudioSessionNotification {
 public:
  explicit SessionsClient(Marker marker) : marker_(marker) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  // The session itself is taken up by the rescan this asks for, on the owner's thread.
  HRESULT STDMETHODCALLTYPE OnSessionCreated(IAudioSessionControl*) override {
    marker_.Mark();
    return S_OK;
  }

 private:
  Marker marker_;
};

// QueryFullProcessImageNameW, Vista's: looked up, so that the programs still start on XP.
typedef BOOL(WINAPI* QueryImageName)(HANDLE, DWORD, LPWSTR, PDWORD);

class ComAudio : public AudioSystem {
 public:
  // changed: a flag set, and wake an event set, from Core Audio's own threads when an endpoint,
  // a default or the sessions change. The callbacks do nothing else: they must not block.
  ComAudio(volatile LONG* changed, HANDLE wake);
  ~ComAudio();
  ComAudio(const ComAudio&) = delete;
  ComAudio& operator=(const ComAudio&) = delete;

  // Creates the device enumerator and registers for its notifications; false where Core Audio
  // is missing (Windows XP), and then nothing else may be called.
  bool Start();
  // Takes the default endpoints and the render endpoints afresh.
  void Refresh();

  bool ReadDefault(EndpointFlow flow, Levels* levels, uint32_t* endpoint) override;
  bool WriteDefault(EndpointFlow flow, const Levels& levels) override;
  void ScanSessions(SessionSeen seen, void* context) override;
  bool ReadSession(int session, float* master, Levels* channels) override;
  bool WriteSession(int session, float master, const Levels& channels) override;

 private:
  struct Endpoint {
    uint32_t id;  // a fingerprint of the endpoint's id
    IAudioSessionManager2* manager;
    bool registered;
    bool present;
  };
  struct Session {
    ISimpleAudioVolume* master;
    IChannelAudioVolume* channels;  // null where the session gives none
  };

  void RefreshDefault(EndpointFlow flow);
  void RefreshEndpoints();
  void DropEndpoint(Endpoint* endpoint);
  void DropSessions();
  void ScanEndpoint(IAudioSessionManager2* manager, SessionSeen seen, void* context);
  void ImagePath(DWORD pid);

  IMMDeviceEnumerator* enumerator_ = nullptr;
  DevicesClient devicesClient_;
  SessionsClient sessionsClient_;
  QueryImageName queryImageName_ = nullptr;
  IAudioEndpointVolume* defaults_[2] = {};
  uint32_t defaultIds_[2] = {};
  Endpoint endpoints_[MAX_ENDPOINTS] = {};
  Session sessions_[MAX_SESSIONS] = {};
  int sessionCount_ = 0;
  // The texts of the session being scanned.
  char instance_[TEXT_BYTES];
  char identifier_[TEXT_BYTES];
  char imagePath_[TEXT_BYTES];
};

}  // namespace coreaudio
