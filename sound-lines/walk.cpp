// The walk that numbers the sound lines.
#include <cstring>

#include "sound-lines/sound_line.h"

void ForEachSoundLine(LineVisitor visitor, void* context) {
  MIXERCAPSA caps;
  MIXERLINEA line;
  memset(&line, 0, sizeof line);
  line.cbStruct = sizeof line;
  int32_t stop = 0;
  const UINT deviceCount = mixerGetNumDevs();
  for (UINT device = 0; device < deviceCount && stop == 0; ++device) {
    HMIXER handle = nullptr;
    const bool opened = mixerOpen(&handle, device, 0, 0, 0) == MMSYSERR_NOERROR;
    // The line queries carry no handle-type bit, so they take the open handle or, when
    // the open failed, the device index: either way they ask this device, never another
    // one a stale or empty handle would name, and the numbering stays the same.
    const HMIXEROBJ object = opened ? reinterpret_cast<HMIXEROBJ>(handle)
                                    : reinterpret_cast<HMIXEROBJ>(static_cast<UINT_PTR>(device));
    // A device whose capabilities cannot be read counts as having no destination lines.
    memset(&caps, 0, sizeof caps);
    mixerGetDevCapsA(device, &caps, sizeof caps);
    stop = visitor(VISIT_DEVICE, &caps, &line, context);
    for (DWORD destination = 0; destination < caps.cDestinations && stop == 0; ++destination) {
      line.dwDestination = destination;
      mixerGetLineInfoA(object, &line, MIXER_GETLINEINFOF_DESTINATION);
      stop = visitor(VISIT_DESTINATION, &caps, &line, context);
      const DWORD sourceCount = line.cConnections;
      for (DWORD source = 0; source < sourceCount && stop == 0; ++source) {
        line.dwSource = source;
        mixerGetLineInfoA(object, &line, MIXER_GETLINEINFOF_SOURCE);
        stop = visitor(VISIT_SOURCE, &caps, &line, context);
      }
    }
    if (opened) mixerClose(handle);
  }
}
