// The names Windows programs open serial ports by: "COMn" and "\\.\COMn" stand for the n-th
// port, which Linux and Wine call /dev/ttyS<n-1>; any other name is a path.
#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/posix/posix.h"

namespace posix {

std::string ComPortDevicePath(const char* name) {
  if (name == nullptr) return std::string();
  const char* number = name;
  if (strncmp(number, "\\\\.\\", 4) == 0) number += 4;
  if (strncasecmp(number, "COM", 3) != 0) return name;
  number += 3;
  // One to three digits without a leading zero: Windows numbers serial ports from 1 to 256.
  size_t digits = strspn(number, "0123456789");
  if (digits == 0 || digits > 3 || number[digits] != 0 || number[0] == '0') return name;
  int port = atoi(number);
  if (port > 256) return name;
  return "/dev/ttyS" + std::to_string(port - 1);
}

}  // namespace posix
