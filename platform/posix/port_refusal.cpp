// Why a serial port refuses to open on Linux, as the controller and the setup program tell it:
// not there, a folder or a file, the group that may open it (or root alone), or the program
// holding it.
#include <errno.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/controller_services.h"
#include "platform/posix/files.h"

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

}  // namespace

namespace platform {

std::string WhyPortRefused(const std::string& port, DWORD error) {
  struct stat status;
  if (stat(port.c_str(), &status) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return port + " is not there: is the box plugged in?";
    return port + " could not be opened: " + strerror(errno) + ".";
  }
  // Opening a folder fails as a refusal does, and no group or program is to blame; a file
  // opens, and only its line settings tell it is no port.
  if (S_ISDIR(status.st_mode)) return port + " is a folder, not a serial port.";
  if (!S_ISCHR(status.st_mode)) return port + " is a file, not a serial port.";
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
    // A device node with no hardware behind it, as every built-in ttyS the board lacks.
    return "No device answers behind " + port + ": is the box plugged in?";
  }
  if (error == ERROR_INVALID_FUNCTION) return port + " is a device, but not a serial port.";
  if (error != ERROR_ACCESS_DENIED) {
    return port + " could not be opened (error " + std::to_string(error) + ").";
  }
  if (access(port.c_str(), R_OK | W_OK) != 0 && (errno == EACCES || errno == EPERM)) {
    const bool groupMay = (status.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    const group* owners = groupMay ? getgrgid(status.st_gid) : nullptr;
    // Joining root's group would open far more than a port: no advice to give there.
    if (!groupMay || status.st_gid == 0 || owners == nullptr) {
      return "Only root may open " + port + ": it is probably not the box's port.";
    }
    const std::string name = owners->gr_name;
    return "Your user may not open " + port + ": only the group " + name +
           " may. Join it with\n  sudo adduser \"$USER\" " + name +
           "\nthen log out and in again: a new group counts from the next login on.";
  }
  const std::string holder = Holders(posix::RealPath(port));
  return port + " is in use by " +
         (holder.empty() ? "another program (a serial monitor, the Arduino IDE, a slicer?)"
                         : holder) +
         ": close it, then try again.";
}

}  // namespace platform
