// Knobvane's entry point: a window-less GUI program on Windows, a plain program elsewhere.
// Both take their port and lines from the whole command line, split by ArgumentList; the Linux
// program answers --help and --version first, and shows a usage of its own.
#include "controller/knobvane.h"

#ifdef _WIN32
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  ArgumentList arguments;
  return RunKnobvane(arguments);
}
#else
#include <cstdio>

#include "platform/posix/posix.h"
#include "platform/pulse/pulse.h"

namespace {

// The usage in Linux terms, in place of the Windows box's COM ports.
const char USAGE[] =
    "Usage: knobvane PORT LINE0 [LINE1 ... LINE5]\n"
    "       knobvane --help | --version\n"
    "Sets the volume of one sound line per knob of the box on serial port PORT,\n"
    "until ended (Ctrl-C, kill).\n"
    "  PORT      the box's serial device: /dev/ttyACM0, or the name that stays when\n"
    "            the box is replugged, /dev/serial/by-id/usb-...-if00\n"
    "  LINE0..5  the sound line of knob 0 to 5, as linescout numbers them;\n"
    "            x skips a knob\n"
    "Example: knobvane /dev/serial/by-id/usb-Maker_Box_1234-if00 1 x 3\n"
    "At login the systemd user unit knobvane.service runs it with the port and lines\n"
    "of ~/.config/knobvane/knobvane.conf: knobvane-setup finds the box, asks the lines,\n"
    "writes that file and enables the unit. More: man knobvane\n";

void ShowUsage() { fputs(USAGE, stderr); }

}  // namespace

int main(int argc, char* argv[]) {
  const int answered = posix::AnswerOptions(argc, argv, "knobvane", KNOBVANE_VERSION, USAGE);
  if (answered >= 0) return answered;
  // Stopped from outside (logout, Ctrl-C), knobvane still lets its last readings reach the
  // server. First, before the sound server's connection starts threads of its own.
  posix::EndOnStopSignals(pulse::LetWritesLand);
  // A thread waiting for the box has handed on every reading it took: a stop may end it there.
  posix::OnReadWait(posix::EnterRest, posix::LeaveRest);
  // The lines are looked up once the sound server answers, and its going and coming are told.
  soundServerThere = pulse::ServerThere;
  ArgumentList arguments;
  return RunKnobvane(arguments, ShowUsage);
}
#endif
