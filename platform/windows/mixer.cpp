// The mixer functions the Windows programs call (platform/win32.h names them in place of
// winmm's): winmm's devices as winmm has them, then the default output, the default input and
// the applications through Core Audio (platform/coreaudio/mixer_face.h).
//
// One thread of the multithreaded apartment owns every COM object and makes every Core Audio
// call; session notifications come only to such a thread (https://learn.microsoft.com/en-us/
// windows/win32/api/audiopolicy/nf-audiopolicy-iaudiosessionmanager2-registersessionnotification).
// The callers' mixer calls read the lines' cache and hand their writes over, the newest
// winning, so a box at the full line rate never waits for the audio service; only the first
// call waits, a bounded time, for the first look at the endpoints and sessions. Notifications
// only mark that something changed; a rescan every second backs them up, since they are lost
// on real systems, and keeps a later session's promise of its line's value within a second.
#define KNOBVANE_WINMM_ITSELF
#include <new>

#include "platform/coreaudio/mixer_face.h"
#include "platform/remembered.h"
#include "platform/win32.h"
#include "platform/windows/core_audio.h"

namespace {

constexpr DWORD RESCAN_MS = 1000;
// How long the first mixer call waits for Core Audio's first answers; a service still starting
// at login may take this long. Past it the lines come when they are ready.
constexpr DWORD FIRST_LOOK_MS = 5000;

const coreaudio::LegacyMixer WINMM = {mixerGetNumDevs,
                                      mixerOpen,
                                      mixerClose,
                                      mixerGetDevCapsA,
                                      mixerGetLineInfoA,
                                      mixerGetLineControlsA,
                                      mixerGetControlDetailsA,
                                      mixerSetControlDetails};

// The face's one state: the lines, what the callers' calls go through, and the owner thread's
// signals.
struct Face {
  explicit Face(const char* listPath) : lines(listPath), mixer(WINMM, lines) {}
  coreaudio::Lines lines;
  coreaudio::MixerFace mixer;
  HANDLE wake = nullptr;   // a write was handed over, or a notification marked a change
  HANDLE ready = nullptr;  // the first look is done, or Core Audio is missing
  volatile LONG changed = 0;
};

void Wake(void* face) { SetEvent(static_cast<Face*>(face)->wake); }

DWORD WINAPI OwnCoreAudio(void* parameter) {
  Face& face = *static_cast<Face*>(parameter);
  // Where COM or Core Audio is missing (Windows XP) the lines stay unlisted.
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
    SetEvent(face.ready);
    return 0;
  }
  // Lives as long as the process: the programs end with the thread still in it.
  void* place = HeapAlloc(GetProcessHeap(), 0, sizeof(coreaudio::ComAudio));
  coreaudio::ComAudio* audio =
      place != nullptr ? new (place) coreaudio::ComAudio(&face.changed, face.wake) : nullptr;
  if (audio == nullptr || !audio->Start()) {
    SetEvent(face.ready);
    return 0;
  }
  audio->Refresh();
  face.lines.Service(*audio, true);
  face.lines.SetAvailable(true);
  SetEvent(face.ready);
  DWORD lastScan = GetTickCount();
  for (;;) {
    const DWORD since = GetTickCount() - lastScan;
    WaitForSingleObject(face.wake, since < RESCAN_MS ? RESCAN_MS - since : 0);
    const bool rescan =
        InterlockedExchange(&face.changed, 0) != 0 || GetTickCount() - lastScan >= RESCAN_MS;
    if (rescan) {
      audio->Refresh();
      lastScan = GetTickCount();
    }
    face.lines.Service(*audio, rescan);
  }
}

// Made at the first mixer call (the programs make theirs on one thread), and never destroyed:
// the controller's static SoundLines close their handles at exit. Null when there is no memory
// for it: winmm's devices then answer alone.
Face* TheFace() {
  static Face* face = nullptr;
  if (face != nullptr) return face;
  // From the heap, not the program's image: the lines hold the whole applications' list.
  void* place = HeapAlloc(GetProcessHeap(), 0, sizeof(Face));
  if (place == nullptr) return nullptr;
  char listPath[REMEMBERED_PATH_BYTES];
  if (!ListFilePath("applications", listPath, sizeof listPath)) listPath[0] = '\0';
  face = new (place) Face(listPath);
  face->wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  face->ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  face->lines.SetWake(Wake, face);
  HANDLE thread = face->wake != nullptr && face->ready != nullptr
                      ? CreateThread(nullptr, 0, OwnCoreAudio, face, 0, nullptr)
                      : nullptr;
  if (thread != nullptr) {
    WaitForSingleObject(face->ready, FIRST_LOOK_MS);
    CloseHandle(thread);
  }
  return face;
}

}  // namespace

extern "C" {

UINT WINAPI KnobvaneMixerGetNumDevs(void) {
  Face* face = TheFace();
  return face != nullptr ? face->mixer.GetNumDevs() : mixerGetNumDevs();
}

MMRESULT WINAPI KnobvaneMixerOpen(LPHMIXER phmx, UINT uMxId, DWORD_PTR dwCallback,
                                  DWORD_PTR dwInstance, DWORD fdwOpen) {
  Face* face = TheFace();
  return face != nullptr ? face->mixer.Open(phmx, uMxId, dwCallback, dwInstance, fdwOpen)
                         : mixerOpen(phmx, uMxId, dwCallback, dwInstance, fdwOpen);
}

MMRESULT WINAPI KnobvaneMixerClose(HMIXER hmx) {
  Face* face = TheFace();
  return face != nullptr ? face->mixer.Close(hmx) : mixerClose(hmx);
}

MMRESULT WINAPI KnobvaneMixerGetDevCapsA(UINT_PTR uMxId, LPMIXERCAPSA pmxcaps, UINT cbmxcaps) {
  Face* face = TheFace();
  return face != nullptr ? face->mixer.GetDevCaps(uMxId, pmxcaps, cbmxcaps)
                         : mixerGetDevCapsA(uMxId, pmxcaps, cbmxcaps);
}

MMRESULT WINAPI KnobvaneMixerGetLineInfoA(HMIXEROBJ hmxobj, LPMIXERLINEA pmxl, DWORD fdwInfo) {
  Face* face = TheFace();
  return face != nullptr ? face->mixer.GetLineInfo(hmxobj, pmxl, fdwInfo)
                         : mixerGetLineInfoA(hmxobj, pmxl, fdwInfo);
}

MMRESULT WINAPI KnobvaneMixerGetLineControlsA(HMIXEROBJ hmxobj, LPMIXERLINECONTROLSA pmxlc,
                                              DWORD fdwControls) {
  Face* face = TheFace();
  return face != nullptr ? face->mixer.GetLineControls(hmxobj, pmxlc, fdwControls)
                         : mixerGetLineControlsA(hmxobj, pmxlc, fdwControls);
}

MMRESULT WINAPI KnobvaneMixerGetControlDetailsA(HMIXEROBJ hmxobj, LPMIXERCONTROLDETAILS pmxcd,
                                                DWORD fdwDetails) {
  Face* face = TheFace();
  return face != nullptr ? face->mixer.GetControlDetails(hmxobj, pmxcd, fdwDetails)
                         : mixerGetControlDetailsA(hmxobj, pmxcd, fdwDetails);
}

MMRESULT WINAPI KnobvaneMixerSetControlDetails(HMIXEROBJ hmxobj, LPMIXERCONTROLDETAILS pmxcd,
                                               DWORD fdwDetails) {
  Face* face = TheFace();
  return face != nullptr ? face->mixer.SetControlDetails(hmxobj, pmxcd, fdwDetails)
                         : mixerSetControlDetails(hmxobj, pmxcd, fdwDetails);
}

}  // extern "C"
