// Why a serial port refuses to open on Linux, as the controller and the setup program tell it:
// not there, no device behind it, a folder or a file, the group that may open it (or its owner
// alone), or the programs holding it.
#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/controller_services.h"
#include "platform/posix/files.h"
#include "platform/posix/port_access.h"

namespace {

// The programs holding a device open, "name (process N), ..."; "" when none can be seen.
std::string Holders(const std::string& device) {
  std::string holders;
  for (const std::string& process : posix::Entries("/proc")) {
    if (process.find_first_not_of("0123456789") != std::string::npos) continue;
    if (atoi(process.c_str()) == getpid()) continue;
    const std::string fds = "/proc/" + process + "/fd";
    for (const std::string& fd : posix::Entries(fds)) {
      if (posix::RealPath(fds + "/" + fd) != device) continue;
      holders += (holders.empty() ? "" : ", ") + posix::FirstLine("/proc/" + process + "/comm") +
                 " (process " + process + ")";
      break;
    }
  }
  return holders;
}

// What keeps this process out of the device a port names, from its mode and groups.
posix::PortAccess AccessOf(const struct stat& device) {
  posix::PortAccess access{static_cast<unsigned>(device.st_mode & 07777),
                           "",
                           "",
                           device.st_gid == 0,
                           false,
                           getegid() == device.st_gid};
  const passwd* owner = getpwuid(device.st_uid);
  access.owner = owner != nullptr ? owner->pw_name : "user " + std::to_string(device.st_uid);
  const passwd* user = getpwuid(geteuid());
  const group* owners = getgrgid(device.st_gid);
  if (owners == nullptr) return access;
  access.group = owners->gr_name;
  for (char** member = owners->gr_mem; user != nullptr && *member != nullptr; ++member) {
    access.listedInGroup = access.listedInGroup || strcmp(*member, user->pw_name) == 0;
  }
  access.listedInGroup = access.listedInGroup || (user != nullptr && user->pw_gid == device.st_gid);
  std::vector<gid_t> groups(static_cast<size_t>(std::max(getgroups(0, nullptr), 0)));
  const int count = getgroups(static_cast<int>(groups.size()), groups.data());
  for (int i = 0; i < count; ++i)
    access.processHasGroup = access.processHasGroup || groups[i] == device.st_gid;
  return access;
}

}  // namespace

namespace posix {

std::string PortAccessAdvice(const std::string& port, const PortAccess& access) {
  const bool groupMayOpen =
      (access.mode & 060) == 060 && !access.groupIsRoot && !access.group.empty();
  if (!groupMayOpen) {
    // The box's port belongs to a group users join (dialout); a device only its owner may
    // open is a built-in port or another's terminal, and no group would help.
    return "Only " + access.owner + " may open " + port +
           ": it is probably not the box's port. Plug the box in and take the port that appears.";
  }
  if (access.listedInGroup && !access.processHasGroup) {
    return "Your user may not open " + port + " yet: it joined the group " + access.group +
           " since this login began, and a group counts from the next login on. Log out and in "
           "again.";
  }
  return "Your user may not open " + port + ": only the group " + access.group +
         " may. Join it with\n  sudo adduser \"$USER\" " + access.group +
         "\nthen log out and in again: a new group counts from the next login on.";
}

}  // namespace posix

namespace platform {

// The cause, in the words of PortRefusal.
static std::string Refusal(const std::string& port, DWORD error) {
  struct stat device;
  if (stat(port.c_str(), &device) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return port + " is not there: is the box plugged in?";
    return port + " could not be opened: " + strerror(errno) + ".";
  }
  if (S_ISDIR(device.st_mode)) return port + " is a folder, not a serial port.";
  if (!S_ISCHR(device.st_mode)) return port + " is a file, not a serial port.";
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
    // A device node with no hardware behind it, as every built-in ttyS the board lacks.
    return "No device answers behind " + port + ": is the box plugged in?";
  }
  if (error == ERROR_INVALID_FUNCTION) return port + " is a device, but not a serial port.";
  if (error != ERROR_ACCESS_DENIED) {
    return port + " could not be opened (error " + std::to_string(error) + ").";
  }
  if (access(port.c_str(), R_OK | W_OK) != 0 && (errno == EACCES || errno == EPERM)) {
    return posix::PortAccessAdvice(port, AccessOf(device));
  }
  const std::string holder = Holders(posix::RealPath(port));
  return port + " is in use by " +
         (holder.empty() ? "another program (a serial monitor, the Arduino IDE, a slicer?)"
                         : holder) +
         ": close it, then try again.";
}

void PortRefusal(const char* port, DWORD error, char* text, size_t size) {
  if (size == 0) return;
  snprintf(text, size, "%s", Refusal(port, error).c_str());
}

std::string PortHolders(const std::string& port) {
  const std::string device = posix::RealPath(port);
  return device.empty() ? "" : Holders(device);
}

}  // namespace platform
