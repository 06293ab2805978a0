// Why a user may not open a serial port on Linux, from the device's mode, owner and group: the
// advice setup gives (and the cause knobvane tells), apart from the files so that every case
// can be tried without being root or being kept out.
#ifndef KNOBVANE_PLATFORM_POSIX_PORT_ACCESS_H
#define KNOBVANE_PLATFORM_POSIX_PORT_ACCESS_H

#include <string>

namespace posix {

// What keeps a user out of a device, as stat and the group database tell it.
struct PortAccess {
  unsigned mode;         // st_mode's permission bits
  std::string owner;     // the owning user's name ("root")
  std::string group;     // the owning group's name ("dialout"); "" when it has none
  bool groupIsRoot;      // the group is root's own (gid 0): joining it is no advice
  bool listedInGroup;    // the group database lists the user in the group
  bool processHasGroup;  // this process runs with the group already
};

// In a sentence or two, why the user may not open port and what helps: the group to join where
// the group may open it, a new login where the user joined it since, and for a device only its
// owner may open, that it is probably not the box.
std::string PortAccessAdvice(const std::string& port, const PortAccess& access);

}  // namespace posix

#endif  // KNOBVANE_PLATFORM_POSIX_PORT_ACCESS_H
