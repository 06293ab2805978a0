// The lists of devices and applications a mixer face has seen, each kept in a file so that
// their line numbers hold. Several of our programs may append to one at once, and a file may be
// damaged or unreadable: every reader skips what is not a whole, well-formed line, and takes
// the first of several lines with one id, so a known entry never changes place. At worst a new
// one comes later than it might have. Every line with an id of its own has a place, also one
// whose name another line has already, so a list whose lines tell applications apart by other
// ids (the server's stream-restore ids) keeps every place.
#include "platform/remembered.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "platform/text.h"

namespace {

// Enough for any desktop; a file grown past this (damaged, or filled on purpose) is read only
// this far, and then nothing new is added.
constexpr size_t MAX_ENTRIES = 200;
constexpr size_t MAX_FILE_BYTES = 64 * 1024;
constexpr size_t MAX_FIELD_BYTES = 200;

// A tab, a line break or another control character would break a line of the file apart.
bool IsControl(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }

// A field as it goes into the file: no tabs, line breaks or other control characters, which
// would break the line apart, and cut to a length a reader accepts (never inside a character).
std::string Field(const std::string& text) {
  std::string field = text.substr(0, Utf8CutLength(text, MAX_FIELD_BYTES));
  std::replace_if(field.begin(), field.end(), IsControl, ' ');
  return field;
}

bool WellFormed(const std::string& field) {
  return !field.empty() && field.size() <= MAX_FIELD_BYTES &&
         std::none_of(field.begin(), field.end(), IsControl);
}

// The entries a file's text lists: whole lines of an id and a name split by a tab, each id
// once.
std::vector<Remembered> Parse(const std::string& text) {
  std::vector<Remembered> entries;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string line = text.substr(start, end - start);
    const size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    Remembered entry{line.substr(0, tab), line.substr(tab + 1)};
    if (!WellFormed(entry.id) || !WellFormed(entry.name)) continue;
    const bool known = std::any_of(entries.begin(), entries.end(),
                                   [&](const Remembered& e) { return e.id == entry.id; });
    if (known) continue;
    entries.push_back(std::move(entry));
    if (entries.size() == MAX_ENTRIES) break;
  }
  return entries;
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
void Append(const std::string& path, const Remembered& entry) {
  MakeFolders(path);
  const int fd = open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) return;
  std::string line = entry.id + "\t" + entry.name + "\n";
  struct stat status;
  char last = '\n';
  if (fstat(fd, &status) == 0 && status.st_size > 0 &&
      pread(fd, &last, 1, status.st_size - 1) == 1 && last != '\n') {
    line.insert(line.begin(), '\n');
  }
  if (write(fd, line.data(), line.size()) < 0) {
    // Nothing more to do: the entry keeps its place for this run only.
  }
  close(fd);
}

}  // namespace

std::string StateFilePath(const char* file) {
  const char* state = getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::string(state) + "/knobvane/" + file;
  const char* home = getenv("HOME");
  if (home != nullptr && home[0] == '/') {
    return std::string(home) + "/.local/state/knobvane/" + file;
  }
  return std::string();
}

void RememberedList::Load() {
  std::string text;
  if (path_.empty() || !ReadText(path_, &text)) return;
  std::vector<Remembered> listed = Parse(text);
  if (listed.size() < entries_.size()) return;
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (listed[i].id != entries_[i].id) return;
  }
  entries_ = std::move(listed);
}

int RememberedList::Remember(const std::string& id, const std::string& name) {
  Remembered entry{Field(id), Field(name)};
  if (entry.name.empty()) entry.name = entry.id;
  if (!WellFormed(entry.id) || !WellFormed(entry.name)) return -1;
  const std::string& key = key_ == BY_ID ? entry.id : entry.name;
  const auto place = [this, &key]() -> int {
    for (size_t i = 0; i < entries_.size(); ++i) {
      if (KeyAt(i) == key) return static_cast<int>(i);
    }
    return -1;
  };
  int found = place();
  if (found >= 0) return found;
  // Another program may have added it, or others, since.
  Load();
  found = place();
  if (found >= 0 || entries_.size() >= MAX_ENTRIES) return found;
  if (!path_.empty()) {
    Append(path_, entry);
    Load();
    found = place();
    if (found >= 0) return found;
  }
  entries_.push_back(entry);
  return static_cast<int>(entries_.size() - 1);
}
