// The setup program's platform on Linux: the ports udev names under /dev/serial/by-id/ with
// what their USB device tells sysfs, the stable name (by-id, or by-path where boards share a
// serial number), why a port refuses (the group, or the program holding it), the settings in
// ~/.config/knobvane/knobvane.conf that the systemd user unit reads, and that unit.
// KNOBVANE_SERIAL_DIR and KNOBVANE_SYSFS stand in for /dev/serial and /sys (tests).
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "platform/setup.h"

extern char** environ;

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

std::string SettingsFile() {
  const char* config = getenv("XDG_CONFIG_HOME");
  const std::string folder =
      config != nullptr && config[0] == '/' ? config : Environment("HOME", "") + "/.config";
  return folder + "/knobvane/knobvane.conf";
}

bool MakeFolders(const std::string& file) {
  for (size_t slash = file.find('/', 1); slash != std::string::npos;
       slash = file.find('/', slash + 1)) {
    if (mkdir(file.substr(0, slash).c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  return true;
}

// Writes a file and makes sure it is on the disk; false with errno set, and nothing left.
bool WriteFile(const std::string& path, const std::string& text) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  written = fsync(fd) == 0 && written;
  written = close(fd) == 0 && written;
  if (written) return true;
  const int error = errno;
  unlink(path.c_str());
  errno = error;
  return false;
}

// Whether systemctl --user can reach the user's systemd: only in the user's own login.
bool UserSystemd() {
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  struct stat status;
  return runtime != nullptr &&
         stat((std::string(runtime) + "/systemd/private").c_str(), &status) == 0 &&
         S_ISSOCK(status.st_mode);
}

bool Systemctl(std::initializer_list<const char*> words) {
  std::vector<char*> argv = {const_cast<char*>("systemctl"), const_cast<char*>("--user"),
                             const_cast<char*>("--quiet")};
  for (const char* word : words) argv.push_back(const_cast<char*>(word));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

const char UNIT_COMMANDS[] =
    "  systemctl --user enable --now knobvane\n"
    "and after every later change of the settings:\n"
    "  systemctl --user restart knobvane\n";

// ---- The user's input -------------------------------------------------------------------------

volatile sig_atomic_t interrupted = 0;
void Interrupt(int) { interrupted = 1; }

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
  return typed[0] == '/' ? typed : "/dev/" + typed;
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
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
    return port + " is not there: is the box plugged in?";
  }
  if (error != ERROR_ACCESS_DENIED) {
    return port + " could not be opened (error " + std::to_string(error) + ").";
  }
  if (access(port.c_str(), R_OK | W_OK) != 0 && (errno == EACCES || errno == EPERM)) {
    struct stat status;
    const group* owners = stat(port.c_str(), &status) == 0 ? getgrgid(status.st_gid) : nullptr;
    const std::string name = owners != nullptr ? owners->gr_name : "dialout";
    return "Your user may not open " + port + ": only the group " + name +
           " may. Join it with\n  sudo adduser \"$USER\" " + name +
           "\nthen log out and in again: a new group counts from the next login on.";
  }
  const std::string holder = Holders(RealPath(port));
  return port + " is in use by " +
         (holder.empty() ? "another program (a serial monitor, the Arduino IDE, a slicer?)"
                         : holder) +
         ": close it, then try again.";
}

int ProposedFirstLine() { return 1; }

bool ControllerLinesListing(std::string*) { return false; }

std::string SettingsPlace() { return SettingsFile(); }

bool ReadSettings(ControllerSettings* settings) {
  FILE* file = fopen(SettingsFile().c_str(), "r");
  if (file == nullptr) return false;
  *settings = ControllerSettings();
  char text[4096];
  while (fgets(text, sizeof text, file) != nullptr) {
    std::string line = text;
    line.erase(line.find_last_not_of(" \t\r\n") + 1);
    line.erase(0, line.find_first_not_of(" \t"));
    const size_t equals = line.find('=');
    if (line.empty() || line[0] == '#' || equals == std::string::npos) continue;
    std::string value = line.substr(equals + 1);
    if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0]) {
      value = value.substr(1, value.size() - 2);
    }
    if (line.compare(0, equals, "KNOBVANE_PORT") == 0) settings->port = value;
    if (line.compare(0, equals, "KNOBVANE_LINES") == 0) settings->lines = value;
  }
  fclose(file);
  return !settings->port.empty();
}

bool WriteSettings(const ControllerSettings& settings) {
  const std::string path = SettingsFile();
  const std::string next = path + ".new";
  const std::string backup = path + ".bak";
  const std::string text =
      "# Written by knobvane-setup for the systemd user unit knobvane.service (man knobvane).\n"
      "KNOBVANE_PORT=" +
      settings.port + "\nKNOBVANE_LINES=\"" + settings.lines + "\"\n";
  // Written whole beside the old file first, then renamed over it: never half a file.
  bool done = MakeFolders(path) && WriteFile(next, text);
  const bool old = Exists(path);
  // The old settings stay whole under the backup's name: a second name for the same file.
  if (done && old) done = (unlink(backup.c_str()), link(path.c_str(), backup.c_str()) == 0);
  if (done) done = rename(next.c_str(), path.c_str()) == 0;
  if (!done) {
    printf("Could not write %s: %s. The settings were left as they were.\n", path.c_str(),
           strerror(errno));
    unlink(next.c_str());
    return false;
  }
  printf("Wrote %s", path.c_str());
  printf(old ? " (the old settings are in %s).\n" : ".\n", backup.c_str());
  return true;
}

bool RemoveSettings() {
  const std::string path = SettingsFile();
  bool removed = true;
  if (UserSystemd()) {
    removed = Systemctl({"disable", "--now", "knobvane"});
    printf(removed ? "knobvane is stopped and no longer starts at login.\n"
                   : "systemctl --user disable --now knobvane failed.\n");
  } else {
    printf(
        "No systemd user instance answers here: to stop knobvane and its start at login, run as "
        "yourself\n  systemctl --user disable --now knobvane\n");
  }
  if (Exists(path)) {
    if (rename(path.c_str(), (path + ".bak").c_str()) == 0) {
      printf("Moved %s to %s.bak.\n", path.c_str(), path.c_str());
    } else {
      printf("Could not move %s away: %s.\n", path.c_str(), strerror(errno));
      removed = false;
    }
  } else {
    printf("There is no %s.\n", path.c_str());
  }
  return removed;
}

bool ControllerRunning() { return UserSystemd() && Systemctl({"is-active", "knobvane"}); }

bool StopController() {
  const bool stopped = Systemctl({"stop", "knobvane"});
  printf(stopped ? "Stopped knobvane (your user unit), which had the port; it starts again at "
                   "the end.\n"
                 : "Could not stop knobvane: systemctl --user stop knobvane failed.\n");
  return stopped;
}

bool StartController() {
  if (!UserSystemd()) {
    printf(
        "No systemd user instance answers here, so knobvane was not started. To start it now "
        "and at every login, run as yourself (not root) in your own login:\n%s",
        UNIT_COMMANDS);
    return true;
  }
  if (!Systemctl({"enable", "knobvane"}) || !Systemctl({"restart", "knobvane"})) {
    printf("systemctl could not start knobvane; see: systemctl --user status knobvane\n");
    return false;
  }
  printf("knobvane runs now and starts at every login (systemctl --user status knobvane).\n");
  return true;
}

Input ReadInputLine(std::string* line, DWORD milliseconds) {
  // Bytes read past a line's end wait here for the next call.
  static std::string pending;
  static bool ended = false;
  static bool handled = false;
  if (!handled) {
    // Ctrl-C ends the dialogue through its own way out, which starts a stopped unit again.
    struct sigaction action = {};
    action.sa_handler = Interrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    handled = true;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    const size_t end = pending.find('\n');
    if (end != std::string::npos || (ended && !pending.empty())) {
      *line = pending.substr(0, end);
      pending.erase(0, end == std::string::npos ? end : end + 1);
      if (!line->empty() && line->back() == '\r') line->pop_back();
      return INPUT_LINE;
    }
    if (ended || interrupted) return INPUT_ENDED;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd input = {STDIN_FILENO, POLLIN, 0};
    const int ready = poll(&input, 1, std::max<int>(0, static_cast<int>(left.count())));
    if (ready == 0) return INPUT_NOTHING;
    if (ready < 0) {
      if (errno == EINTR) continue;
      return INPUT_ENDED;
    }
    char bytes[256];
    const ssize_t count = read(STDIN_FILENO, bytes, sizeof bytes);
    if (count > 0) pending.append(bytes, static_cast<size_t>(count));
    if (count == 0 || (count < 0 && errno != EINTR && errno != EAGAIN)) ended = true;
  }
}

}  // namespace platform
