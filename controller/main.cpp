// Knobvane's entry point: a window-less GUI program on Windows, a plain program elsewhere.
// Both take their arguments from the whole command line, split by ArgumentList.
#include "controller/knobvane.h"

#ifdef _WIN32
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  ArgumentList arguments;
  return RunKnobvane(arguments);
}
#else
#include "platform/posix/posix.h"
#include "platform/pulse/pulse.h"

int main() {
  // Stopped from outside (logout, Ctrl-C), knobvane still lets its last readings reach the
  // server. First, before the sound server's connection starts threads of its own.
  posix::EndOnStopSignals(pulse::LetWritesLand);
  ArgumentList arguments;
  return RunKnobvane(arguments);
}
#endif
