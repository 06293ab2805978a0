// The setup program's platform on Linux, the rest: the settings in
// ~/.config/knobvane/knobvane.conf that the systemd user unit reads, that unit, whose they are
// (root's, when run as root), and a line of the user's input that can be waited for with a time
// limit.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "platform/posix/clock.h"
#include "platform/setup_services.h"

extern char** environ;

namespace {

std::string SettingsFile() {
  const char* config = getenv("XDG_CONFIG_HOME");
  const char* home = getenv("HOME");
  const std::string folder = config != nullptr && config[0] == '/'
                                 ? std::string(config)
                                 : std::string(home != nullptr ? home : "") + "/.config";
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
  const bool old = access(path.c_str(), F_OK) == 0;
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
  if (access(path.c_str(), F_OK) == 0) {
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

std::string UserWarning() {
  if (geteuid() != 0) return "";
  // The settings, the user unit and the sound server setup lists lines from are all of the
  // user it runs as: under sudo they are root's, and the user's own knobs stay unset.
  const char* sudoUser = getenv("SUDO_USER");
  const std::string whose = sudoUser != nullptr && sudoUser[0] != 0 && strcmp(sudoUser, "root") != 0
                                ? std::string(sudoUser) + "'s"
                                : "those of the user who listens";
  return "Warning: knobvane-setup runs as root here, so the settings it writes, the knobvane unit "
         "it starts and the sound lines it lists are root's, not " +
         whose + ". Run it as that user, without sudo.";
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
  const int64_t deadline = posix::DeadlineAfterMs(posix::MonotonicNs(), milliseconds);
  for (;;) {
    const size_t end = pending.find('\n');
    if (end != std::string::npos || (ended && !pending.empty())) {
      *line = pending.substr(0, end);
      pending.erase(0, end == std::string::npos ? end : end + 1);
      if (!line->empty() && line->back() == '\r') line->pop_back();
      return INPUT_LINE;
    }
    if (ended || interrupted) return INPUT_ENDED;
    // Ctrl-C ends the wait.
    const int ready =
        posix::WaitForInputUntil(STDIN_FILENO, deadline, [] { return interrupted != 0; });
    if (ready == 0) return INPUT_NOTHING;
    if (ready < 0) return INPUT_ENDED;
    char bytes[256];
    const ssize_t count = read(STDIN_FILENO, bytes, sizeof bytes);
    if (count > 0) pending.append(bytes, static_cast<size_t>(count));
    if (count == 0 || (count < 0 && errno != EINTR && errno != EAGAIN)) ended = true;
  }
}

}  // namespace platform
