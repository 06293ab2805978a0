// Linescout's entry point. The Windows program ignores its arguments; the Linux one answers
// --help and --version first, and ignores the others.
#include "lister/lister.h"

#ifdef _WIN32
int main() { return ListSoundLines(); }
#else
#include "platform/posix/posix.h"

namespace {

const char USAGE[] =
    "Usage: linescout\n"
    "       linescout --help | --version\n"
    "Prints the numbered sound lines of your sound server (PulseAudio, or PipeWire's\n"
    "pulse server; PULSE_SERVER names another): the default output and input, then\n"
    "every device and every application seen so far, as kept in\n"
    "$XDG_STATE_HOME/knobvane/ (~/.local/state/knobvane/). knobvane takes these\n"
    "numbers, knob 0 first, x skipping a knob:\n"
    "  knobvane /dev/serial/by-id/usb-...-if00 1 x 3\n"
    "More: man linescout\n";

}  // namespace

int main(int argc, char* argv[]) {
  const int answered = posix::AnswerOptions(argc, argv, "linescout", KNOBVANE_VERSION, USAGE);
  if (answered >= 0) return answered;
  return ListSoundLines();
}
#endif
