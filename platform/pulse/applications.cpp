// The list of applications the Linux mixer has seen play, kept in a file so that their line
// numbers hold. Several of our programs may append to it at once, and the file may be
// damaged or unreadable: every reader skips what is not a whole, well-formed line, and takes
// the first of several lines for one application, so a known application never changes
// place. At worst a new one comes later than it might have.
#include "platform/pulse/applications.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace pulse {
namespace {

// Enough for any desktop; a file grown past this (damaged, or filled on purpose) is read only
// this far, and then no new application is added.
constexpr size_t MAX_APPLICATIONS = 200;
constexpr size_t MAX_FILE_BYTES = 64 * 1024;
constexpr size_t MAX_FIELD_BYTES = 200;

// A field as it goes into the file: no tabs, line breaks or other control characters, which
// would break the line apart, and cut to a length a reader accepts (never inside a character).
std::string Field(const std::string& text) {
  std::string field = text.substr(0, MAX_FIELD_BYTES);
  if (field.size() < text.size()) {
    while (!field.empty() && (static_cast<unsigned char>(text[field.size()]) & 0xC0) == 0x80) {
      field.pop_back();
    }
  }
  for (char& c : field) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  }
  return field;
}

bool WellFormed(const std::string& field) {
  return !field.empty() && field.size() <= MAX_FIELD_BYTES &&
         std::none_of(field.begin(), field.end(),
                      [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

// The applications a file's text lists: whole lines of an id and a name split by a tab, each
// id once.
std::vector<Application> Parse(const std::string& text) {
  std::vector<Application> applications;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string line = text.substr(start, end - start);
    const size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    Application application{line.substr(0, tab), line.substr(tab + 1)};
    if (!WellFormed(application.id) || !WellFormed(application.name)) continue;
    const bool known = std::any_of(applications.begin(), applications.end(),
                                   [&](const Application& a) { return a.id == application.id; });
    if (known) continue;
    applications.push_back(std::move(application));
    if (applications.size() == MAX_APPLICATIONS) break;
  }
  return applications;
}

// The file's text, up to MAX_FILE_BYTES; false when it cannot be read. Opened without
// waiting: the mixer's loop reads it, and a pipe put at its path must not stall every call.
bool ReadText(const std::string& path, std::string* text) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  text->assign(MAX_FILE_BYTES, '\0');
  size_t length = 0;
  ssize_t count = 0;
  while (length < MAX_FILE_BYTES &&
         (count = read(fd, &(*text)[length], MAX_FILE_BYTES - length)) > 0) {
    length += static_cast<size_t>(count);
  }
  close(fd);
  text->resize(length);
  return count >= 0 || length > 0;
}

// Makes the folder and its parents, as private as the user's other state.
void MakeFolders(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    mkdir(path.substr(0, slash).c_str(), 0700);
  }
}

// Adds a line in one write, so that two programs appending at once never mix their lines.
// A last line left without its line feed (a program stopped halfway) is ended first.
void Append(const std::string& path, const Application& application) {
  MakeFolders(path);
  const int fd = open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) return;
  std::string line = application.id + "\t" + application.name + "\n";
  struct stat status;
  char last = '\n';
  if (fstat(fd, &status) == 0 && status.st_size > 0 &&
      pread(fd, &last, 1, status.st_size - 1) == 1 && last != '\n') {
    line.insert(line.begin(), '\n');
  }
  if (write(fd, line.data(), line.size()) < 0) {
    // Nothing more to do: the application keeps its place for this run only.
  }
  close(fd);
}

}  // namespace

std::string ApplicationListPath() {
  const char* state = getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::string(state) + "/knobvane/applications";
  const char* home = getenv("HOME");
  if (home != nullptr && home[0] == '/') {
    return std::string(home) + "/.local/state/knobvane/applications";
  }
  return std::string();
}

void ApplicationList::Load() {
  std::string text;
  if (path_.empty() || !ReadText(path_, &text)) return;
  std::vector<Application> listed = Parse(text);
  if (listed.size() < applications_.size()) return;
  for (size_t i = 0; i < applications_.size(); ++i) {
    if (listed[i].id != applications_[i].id) return;
  }
  applications_ = std::move(listed);
}

int ApplicationList::Remember(const std::string& id, const std::string& name) {
  Application application{Field(id), Field(name)};
  if (!WellFormed(application.id)) return -1;
  if (application.name.empty()) application.name = application.id;
  const auto place = [this, &application]() -> int {
    for (size_t i = 0; i < applications_.size(); ++i) {
      if (applications_[i].id == application.id) return static_cast<int>(i);
    }
    return -1;
  };
  int found = place();
  if (found >= 0) return found;
  // Another program may have added it, or others, since.
  Load();
  found = place();
  if (found >= 0 || applications_.size() >= MAX_APPLICATIONS) return found;
  if (!path_.empty()) {
    Append(path_, application);
    Load();
    found = place();
    if (found >= 0) return found;
  }
  applications_.push_back(application);
  return static_cast<int>(applications_.size() - 1);
}

}  // namespace pulse
