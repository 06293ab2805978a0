// The setup program's platform on Linux, its ports: the names udev gives under /dev/serial/by-id/
// with what their USB device tells sysfs, the stable name (by-id, or by-path where boards
// share a serial number). Why a port refuses is port_refusal.cpp's, which the controller uses too.
// KNOBVANE_SERIAL_DIR and KNOBVANE_SYSFS stand in for /dev/serial and /sys (tests).
#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/posix/files.h"
#include "platform/posix/posix.h"
#include "platform/setup_services.h"

namespace {

using posix::Entries;
using posix::FirstLine;
using posix::RealPath;

std::string Environment(const char* name, const char* otherwise) {
  const char* value = getenv(name);
  return value != nullptr && value[0] != 0 ? value : otherwise;
}

std::string SerialFolder(const char* kind) {
  return Environment("KNOBVANE_SERIAL_DIR", "/dev/serial") + "/" + kind;
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

}  // namespace

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

}  // namespace platform
