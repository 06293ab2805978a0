// The lists of devices and applications a mixer face has seen, each kept in a file so that
// their line numbers hold. Several of our programs may append to one at once, and a file may be
// damaged or unreadable: every reader skips what is not a whole, well-formed line, and takes
// the first of several lines with one id, so a known entry never changes place. At worst a new
// one comes later than it might have. Every line with an id of its own has a place, also one
// whose name another line has already, so a list whose lines tell applications apart by other
// ids (the server's stream-restore ids) keeps every place.
#include "platform/remembered.h"

#include <cstdlib>
#include <cstring>

#include "platform/remembered_file.h"
#include "platform/text.h"

namespace {

// A file grown past this (damaged, or filled on purpose) is read only this far.
constexpr size_t MAX_FILE_BYTES = 64 * 1024;

// A tab, a line break or another control character would break a line of the file apart.
bool IsControl(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }

// A field as it goes into the file: no tabs, line breaks or other control characters, which
// would break the line apart, and cut to a length a reader accepts (never inside a character).
void Clean(const char* text, char (&field)[REMEMBERED_FIELD_BYTES + 1]) {
  const size_t length = Utf8CutLength(text, strlen(text), REMEMBERED_FIELD_BYTES);
  for (size_t i = 0; i < length; ++i) field[i] = IsControl(text[i]) ? ' ' : text[i];
  field[length] = '\0';
}

bool WellFormed(const char* field, size_t length) {
  if (length == 0 || length > REMEMBERED_FIELD_BYTES) return false;
  for (size_t i = 0; i < length; ++i) {
    if (IsControl(field[i])) return false;
  }
  return true;
}

void Put(char (&field)[REMEMBERED_FIELD_BYTES + 1], const char* text, size_t length) {
  memcpy(field, text, length);
  field[length] = '\0';
}

}  // namespace

RememberedTable::RememberedTable(const char* path, Key key) : key_(key) {
  const size_t length = strlen(path);
  path_[0] = '\0';
  if (length < sizeof path_) memcpy(path_, path, length + 1);
}

bool RememberedTable::Listed(const char* id, size_t before) const {
  for (size_t i = 0; i < before; ++i) {
    if (strcmp(entries_[i].id, id) == 0) return true;
  }
  return false;
}

int RememberedTable::Find(const char* key) const {
  for (size_t i = 0; i < count_; ++i) {
    if (strcmp(KeyAt(i), key) == 0) return static_cast<int>(i);
  }
  return -1;
}

// The file's entries are whole lines of an id and a name split by a tab, each id once. The
// ones known must come first and in their order; only then are the others taken up.
void RememberedTable::Load() {
  if (path_[0] == '\0') return;
  char* text = static_cast<char*>(malloc(MAX_FILE_BYTES));
  size_t size = 0;
  if (text == nullptr || !ReadListFile(path_, text, MAX_FILE_BYTES, &size)) {
    free(text);
    return;
  }
  size_t listed = 0;
  RememberedEntry entry;
  for (size_t start = 0; start < size && listed < REMEMBERED_ENTRIES;) {
    const char* line = text + start;
    const char* end = static_cast<const char*>(memchr(line, '\n', size - start));
    if (end == nullptr) break;
    start = static_cast<size_t>(end - text) + 1;
    const char* tab = static_cast<const char*>(memchr(line, '\t', static_cast<size_t>(end - line)));
    if (tab == nullptr) continue;
    const size_t idLength = static_cast<size_t>(tab - line);
    const size_t nameLength = static_cast<size_t>(end - tab - 1);
    if (!WellFormed(line, idLength) || !WellFormed(tab + 1, nameLength)) continue;
    Put(entry.id, line, idLength);
    Put(entry.name, tab + 1, nameLength);
    if (Listed(entry.id, listed)) continue;
    if (listed < count_) {
      // A file that no longer begins with the known entries is another list: keep ours.
      if (strcmp(entries_[listed].id, entry.id) != 0) break;
    } else {
      entries_[listed] = entry;
    }
    ++listed;
  }
  free(text);
  if (listed > count_) count_ = listed;
}

int RememberedTable::Remember(const char* id, const char* name) {
  RememberedEntry entry;
  Clean(id, entry.id);
  Clean(name[0] != '\0' ? name : id, entry.name);
  if (!WellFormed(entry.id, strlen(entry.id)) || !WellFormed(entry.name, strlen(entry.name))) {
    return -1;
  }
  const char* key = key_ == BY_ID ? entry.id : entry.name;
  int found = Find(key);
  if (found >= 0) return found;
  // Another program may have added it, or others, since.
  Load();
  found = Find(key);
  if (found >= 0 || count_ >= REMEMBERED_ENTRIES) return found;
  if (path_[0] != '\0') {
    char line[2 * REMEMBERED_FIELD_BYTES + 3];
    const size_t idLength = strlen(entry.id), nameLength = strlen(entry.name);
    memcpy(line, entry.id, idLength);
    line[idLength] = '\t';
    memcpy(line + idLength + 1, entry.name, nameLength);
    line[idLength + 1 + nameLength] = '\n';
    AppendListLine(path_, line, idLength + nameLength + 2);
    Load();
    found = Find(key);
    if (found >= 0) return found;
  }
  entries_[count_] = entry;
  return static_cast<int>(count_++);
}
