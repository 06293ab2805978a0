// What the setup program needs of its platform beyond the functions the other two programs
// use: the serial ports there now and what they are, why a port refuses to open, where the
// controller's settings live, how the controller starts at login and now, and a line of the
// user's input that can be waited for with a time limit. Two files per platform, the ports and
// the rest: platform/posix/setup_ports.cpp and setup_login.cpp (Linux: /dev/serial, sysfs,
// systemd's user unit), platform/windows/setup_ports.cpp and setup_login.cpp (SERIALCOMM, the
// Run value, the compatibility mode).
// What these functions do they say on standard output, in words for the user. Why a port refuses
// to open is the controller's platform's too (platform/controller_services.h).
#ifndef KNOBVANE_PLATFORM_SETUP_SERVICES_H
#define KNOBVANE_PLATFORM_SETUP_SERVICES_H

#include <string>
#include <vector>

#include "platform/controller_services.h"
#include "platform/win32.h"

namespace platform {

// A serial port there now: its name as the controller takes it, and what the device behind it
// says it is ("" when it says nothing).
struct SerialPort {
  std::string name;
  std::string device;
};

// The controller's settings: its port and the line of each knob as its command line has them,
// knob 0 first, "x" for none ("1 x 3").
struct ControllerSettings {
  std::string port;
  std::string lines;
};

// How this program is called, for the messages that tell how to run it again.
const char* SetupProgramName();

// The serial ports there now, in a fixed order. Opens none of them: opening a port restarts
// the board behind it.
std::vector<SerialPort> ListSerialPorts();

// The name of a port as the user typed it, as the controller and its settings take it; ""
// when no port can have that name (or it could not be written into the settings).
std::string ControllerPortName(const std::string& typed);

// The name of port that stays the same the next time the box is plugged in, with one sentence
// on what it names when that is not the box alone ("" when it is); port itself when it has
// none better.
std::string StablePortName(const std::string& port, std::string* note);

// The programs that hold port open now, "knobvane (process 812)", ...; "" when none can be seen
// (on Windows none ever can).
std::string PortHolders(const std::string& port);

// A warning, in words for the user, when this program runs as a user whom what it sets should
// not belong to (root, or another user through sudo); "" when it runs as the user it sets up.
std::string UserWarning();

// The line the first knob is offered when the user names none, -1 for none.
int ProposedFirstLine();

// When this process numbers the sound lines differently from the controller (on Windows the
// controller runs in a compatibility mode that this program does not): the list as Linescout
// prints it in the controller's mode, and true. False where this process's own list is the
// controller's, or the list could not be made.
bool ControllerLinesListing(std::string* listing);

// Where the settings are kept, for the user to read.
std::string SettingsPlace();

// The settings kept now; false when there are none.
bool ReadSettings(ControllerSettings* settings);

// Keeps settings for the controller's start at login, the old ones as a backup, whole or not
// at all; false, with the old ones left as they were, when that failed.
bool WriteSettings(const ControllerSettings& settings);

// Takes the settings and the start at login away; false when something is left.
bool RemoveSettings();

// Whether the controller runs now (and so may hold the box's port).
bool ControllerRunning();

// Stops the controller that runs now; true when it no longer runs.
bool StopController();

// Has the controller start at login and starts it now with the settings kept, ending one that
// runs with older ones; false when that could not be done (what to do instead is said).
bool StartController();

// What came from the user's input.
enum Input {
  INPUT_LINE,     // a line, without its line end
  INPUT_NOTHING,  // nothing within the time given
  INPUT_ENDED,    // the input ended or the user interrupted (Ctrl-C)
};

// Waits up to milliseconds for a line typed by the user (0: only looks).
Input ReadInputLine(std::string* line, DWORD milliseconds);

}  // namespace platform

#endif  // KNOBVANE_PLATFORM_SETUP_SERVICES_H
