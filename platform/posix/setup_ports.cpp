// The setup program's platform on Linux, its ports: the names udev gives under /dev/serial/by-id/
// with what their USB device tells sysfs, the stable name (by-id, or by-path where boards
// share a serial number), and why a port refuses (no device, not a serial port, the group, only
// root, or the program holding it).
// KNOBVANE_SERIAL_DIR and KNOBVANE_SYSFS stand in for /dev/serial and /sys (tests).
#include <dirent.h>
#include <errno.h>
#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/posix/port_access.h"
#include "platform/posix/posix.h"
#include "platform/setup_services.h"

namespace {

std::string Environment(const char* name, const char* otherwise) {
  const char* value = getenv(name);
  return value != nullptr && value[0] != 0 ? value : otherwise;
}

std::string SerialFolder(const char* kind) {
  return Environment("KNOBVANE_SERIAL_DIR", "/dev/serial") + "/" + kind;
}

// The entries of a folder, sorted, without the hidden ones.
std::vector<std::string> Entries(const std::string& folder) {
  std::vector<std::string> names;
  DIR* listing = opendir(folder.c_str());
  if (listing == nullptr) return names;
  while (dirent* entry = readdir(listing)) {
    if (entry->d_name[0] != '.') names.push_back(entry->d_name);
  }
  closedir(listing);
  std::sort(names.begin(), names.end());
  return names;
}

std::string RealPath(const std::string& path) {
  char real[PATH_MAX];
  return realpath(path.c_str(), real) != nullptr ? real : "";
}

// The first line of a small file, "" when there is none.
std::string FirstLine(const std::string& path) {
  FILE* file = fopen(path.c_str(), "r");
  if (file == nullptr) return "";
  char text[256] = "";
  if (fgets(text, sizeof text, file) == nullptr) text[0] = 0;
  fclose(file);
  text[strcspn(text, "\r\n")] = 0;
  return text;
}

bool Exists(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0;
}

// What the USB device behind a serial port tells sysfs.
struct UsbDevice {
  std::string maker, product, serial, vendorId, productId;
};

// Boards whose serial number is made from their USB descriptors, the same on every board of
// the kind: a serial number that tells nothing apart.
bool SharedSerial(const UsbDevice& usb) {
  const std::string id = usb.vendorId + ":" + usb.productId;
  for (const char* shared : {"2341:8036", "2341:8037", "1b4f:9206"}) {
    if (id == shared) return true;
  }
  return false;
}

// The USB device a tty belongs to sits a few folders above its device folder in sysfs.
bool FindUsbDevice(const std::string& port, UsbDevice* usb) {
  const std::string device = RealPath(port);
  if (device.empty()) return false;
  const std::string sysfs = Environment("KNOBVANE_SYSFS", "/sys");
  std::string folder =
      RealPath(sysfs + "/class/tty/" + device.substr(device.rfind('/') + 1) + "/device");
  const std::string root = RealPath(sysfs);
  while (!folder.empty() && folder.size() > root.size() && !Exists(folder + "/idVendor")) {
    folder.erase(folder.rfind('/'));
  }
  if (folder.size() <= root.size()) return false;
  *usb = UsbDevice{FirstLine(folder + "/manufacturer"), FirstLine(folder + "/product"),
                   FirstLine(folder + "/serial"), FirstLine(folder + "/idVendor"),
                   FirstLine(folder + "/idProduct")};
  return true;
}

// The entry of a /dev/serial folder that leads to the same device as port; "" when none does.
std::string EntryFor(const char* kind, const std::string& port) {
  const std::string device = RealPath(port);
  for (const std::string& name : Entries(SerialFolder(kind))) {
    const std::string entry = SerialFolder(kind) + "/" + name;
    if (!device.empty() && RealPath(entry) == device) return entry;
  }
  return "";
}

// The programs holding a device open, "name (process N), ..."; "" when none can be seen.
std::string Holders(const std::string& device) {
  std::string holders;
  for (const std::string& process : Entries("/proc")) {
    if (process.find_first_not_of("0123456789") != std::string::npos) continue;
    if (atoi(process.c_str()) == getpid()) continue;
    const std::string fds = "/proc/" + process + "/fd";
    for (const std::string& fd : Entries(fds)) {
      if (RealPath(fds + "/" + fd) != device) continue;
      holders += (holders.empty() ? "" : ", ") + FirstLine("/proc/" + process + "/comm") +
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

const char* SetupProgramName() { return "knobvane-setup"; }

std::vector<SerialPort> ListSerialPorts() {
  std::vector<SerialPort> ports;
  for (const std::string& name : Entries(SerialFolder("by-id"))) {
    SerialPort port{SerialFolder("by-id") + "/" + name, ""};
    UsbDevice usb;
    if (FindUsbDevice(port.name, &usb)) {
      port.device = usb.maker.empty() || usb.product.empty() ? usb.maker + usb.product
                                                             : usb.maker + " " + usb.product;
      if (port.device.empty()) port.device = "USB device " + usb.vendorId + ":" + usb.productId;
    }
    ports.push_back(port);
  }
  return ports;
}

std::string ControllerPortName(const std::string& typed) {
  // The settings file holds the name unquoted, and the unit hands it on as one argument.
  if (typed.empty() || typed.find_first_of(" \t\"'\\$`") != std::string::npos) return "";
  for (char c : typed) {
    if (static_cast<unsigned char>(c) < 32 || c == 127) return "";
  }
  // COMn names what knobvane itself takes it for; a bare name is a device of /dev.
  const std::string path = posix::ComPortDevicePath(typed.c_str());
  return path[0] == '/' ? path : "/dev/" + path;
}

std::string StablePortName(const std::string& port, std::string* note) {
  note->clear();
  std::string byId = EntryFor("by-id", port);
  if (byId.empty()) byId = port;
  UsbDevice usb;
  if (!FindUsbDevice(port, &usb) || (!usb.serial.empty() && !SharedSerial(usb))) return byId;
  const std::string byPath = EntryFor("by-path", port);
  if (byPath.empty()) return byId;
  *note =
      "This board has no serial number of its own, so the name kept is that of the USB socket "
      "it is plugged into: plug the box into the same socket from now on (or run " +
      std::string(SetupProgramName()) + " again).";
  return byPath;
}

std::string WhyPortRefused(const std::string& port, DWORD error) {
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
  const std::string holder = Holders(RealPath(port));
  return port + " is in use by " +
         (holder.empty() ? "another program (a serial monitor, the Arduino IDE, a slicer?)"
                         : holder) +
         ": close it, then try again.";
}

std::string PortHolders(const std::string& port) {
  const std::string device = RealPath(port);
  return device.empty() ? "" : Holders(device);
}

}  // namespace platform
