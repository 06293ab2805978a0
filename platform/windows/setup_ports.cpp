// The setup program's platform on Windows, its ports: the COM ports of
// HKLM\HARDWARE\DEVICEMAP\SERIALCOMM with the names Device Manager shows (SetupAPI), else their
// drivers' device names. Why a port refuses is port_refusal.cpp's, which Knobvane uses too.
#include <algorithm>
#include <string>
#include <vector>

#include "platform/setup_services.h"
#include "platform/win32.h"
// After <windows.h>, whose types they use.
#include <setupapi.h>

namespace {

// Device Manager's name of the device behind a COM port ("USB-SERIAL CH340 (COM3)"), from the
// Ports class; "" when it has none. Reads the devices' settings, opens no port.
std::string FriendlyName(const std::string& comPort) {
  // GUID_DEVCLASS_PORTS, the setup class of serial and parallel ports.
  static const GUID PORTS = {
      0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
  std::string name;
  HDEVINFO devices = SetupDiGetClassDevsA(&PORTS, nullptr, nullptr, DIGCF_PRESENT);
  if (devices == INVALID_HANDLE_VALUE) return name;
  SP_DEVINFO_DATA device;
  device.cbSize = sizeof device;
  for (DWORD index = 0; name.empty() && SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
    HKEY settings =
        SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (settings == INVALID_HANDLE_VALUE) continue;
    char port[64];
    DWORD size = sizeof port - 1, type = 0;
    const bool named = RegQueryValueExA(settings, "PortName", nullptr, &type,
                                        reinterpret_cast<BYTE*>(port), &size) == ERROR_SUCCESS &&
                       type == REG_SZ;
    RegCloseKey(settings);
    port[named ? size : 0] = 0;
    char friendly[256];
    if (named && _stricmp(port, comPort.c_str()) == 0 &&
        SetupDiGetDeviceRegistryPropertyA(devices, &device, SPDRP_FRIENDLYNAME, nullptr,
                                          reinterpret_cast<BYTE*>(friendly), sizeof friendly - 1,
                                          nullptr)) {
      friendly[sizeof friendly - 1] = 0;
      name = friendly;
    }
  }
  SetupDiDestroyDeviceInfoList(devices);
  return name;
}

}  // namespace

namespace platform {

std::vector<SerialPort> ListSerialPorts() {
  std::vector<SerialPort> ports;
  HKEY map;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &map) !=
      ERROR_SUCCESS) {
    return ports;
  }
  for (DWORD index = 0;; ++index) {
    char device[256], port[64];
    DWORD deviceSize = sizeof device, portSize = sizeof port - 1, type = 0;
    const LONG result = RegEnumValueA(map, index, device, &deviceSize, nullptr, &type,
                                      reinterpret_cast<BYTE*>(port), &portSize);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result != ERROR_SUCCESS || type != REG_SZ) continue;
    port[portSize] = 0;
    const std::string name = ControllerPortName(port);
    const std::string friendly = FriendlyName(port);
    if (!name.empty()) ports.push_back(SerialPort{name, friendly.empty() ? device : friendly});
  }
  RegCloseKey(map);
  // In the order of their numbers, as Device Manager shows them.
  std::sort(ports.begin(), ports.end(), [](const SerialPort& a, const SerialPort& b) {
    return atoi(a.name.c_str() + a.name.find_first_of("0123456789")) <
           atoi(b.name.c_str() + b.name.find_first_of("0123456789"));
  });
  return ports;
}

std::string ControllerPortName(const std::string& typed) {
  std::string number = typed;
  if (number.compare(0, 4, "\\\\.\\") == 0) number = number.substr(4);
  if (_strnicmp(number.c_str(), "COM", 3) != 0) return "";
  number = number.substr(3);
  if (number.empty() || number.size() > 3 || number[0] == '0' ||
      number.find_first_not_of("0123456789") != std::string::npos || atoi(number.c_str()) > 256) {
    return "";
  }
  // Knobvane opens COM1 to COM9 by that name, and only the longer form from COM10 on.
  return (number.size() == 1 ? "COM" : "\\\\.\\COM") + number;
}

std::string StablePortName(const std::string& port, std::string* note) {
  note->clear();
  return port;
}

std::string PortHolders(const std::string&) { return ""; }

}  // namespace platform
