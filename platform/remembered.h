// What a mixer face has seen, in the order it first saw it: the devices, and the applications
// that played. Each list is kept in a file shared by every program of ours, one entry a line,
// so that every device and application keeps its line number from run to run and while it
// comes and goes. A file only ever grows; remove it to start its list afresh.
//
// The rules live once, in RememberedTable, on fixed buffers: the Windows programs link it, and
// a C++ library's strings and containers would multiply their size. RememberedList is the same
// table for the Linux mixer, with its entries as strings.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// The most entries a list takes, and the most bytes of an id or a name.
constexpr size_t REMEMBERED_ENTRIES = 200;
constexpr size_t REMEMBERED_FIELD_BYTES = 200;
// The longest path of a list's file, in UTF-8 bytes.
constexpr size_t REMEMBERED_PATH_BYTES = 1024;

struct RememberedEntry {
  char id[REMEMBERED_FIELD_BYTES + 1];
  char name[REMEMBERED_FIELD_BYTES + 1];
};

// The path of the list's file in the user's state folder: $XDG_STATE_HOME/knobvane/<file> or
// ~/.local/state/knobvane/<file> on Linux, %LOCALAPPDATA%\Knobvane\<file> on Windows; false
// (and an empty path) when the environment says no such folder or the path does not fit.
bool ListFilePath(const char* file, char* path, size_t size);

class RememberedTable {
 public:
  // Which field tells one entry from another: a device goes by its id, an application by its
  // name, so that a line naming it by another id (the server's stream-restore id) stands for it.
  enum Key { BY_ID, BY_NAME };

  // An empty path keeps the list for this run only. A path too long to keep counts as empty.
  RememberedTable(const char* path, Key key);

  // Takes up what the file holds beyond what is known already, as long as the file still
  // begins with the known entries (so no known one changes place). A missing, unreadable or
  // damaged file leaves what is known as it is.
  void Load();

  // The place of the entry with that key (id or name, cleaned as the file takes it), added at
  // the end (and to the file) when it is new; -1 when the list is full or the key empty.
  int Remember(const char* id, const char* name);

  size_t Count() const { return count_; }
  const RememberedEntry& At(size_t place) const { return entries_[place]; }
  // The key of the entry at that place.
  const char* KeyAt(size_t place) const {
    return key_ == BY_ID ? entries_[place].id : entries_[place].name;
  }

 private:
  int Find(const char* key) const;
  bool Listed(const char* id, size_t before) const;

  char path_[REMEMBERED_PATH_BYTES];
  Key key_;
  size_t count_ = 0;
  RememberedEntry entries_[REMEMBERED_ENTRIES];
};

struct Remembered {
  std::string id;    // a device's "sink:" or "source:" and pulse name; how an application was named
  std::string name;  // what the user sees: a device's description, an application's name
};

// $XDG_STATE_HOME/knobvane/<file>, or ~/.local/state/knobvane/<file>; empty when neither
// variable says where.
std::string StateFilePath(const char* file);

// A RememberedTable whose entries the Linux mixer reads as strings.
class RememberedList {
 public:
  using Key = RememberedTable::Key;
  static constexpr Key BY_ID = RememberedTable::BY_ID;
  static constexpr Key BY_NAME = RememberedTable::BY_NAME;

  RememberedList(const std::string& path, Key key);
  ~RememberedList();
  RememberedList(const RememberedList&) = delete;
  RememberedList& operator=(const RememberedList&) = delete;

  // As RememberedTable's.
  void Load();
  int Remember(const std::string& id, const std::string& name);

  const std::vector<Remembered>& All() const { return entries_; }
  // The key of the entry at that place.
  const std::string& KeyAt(size_t place) const {
    return key_ == BY_ID ? entries_[place].id : entries_[place].name;
  }

 private:
  void Mirror();

  Key key_;
  RememberedTable* table_;  // owned; large, so never on the caller's stack
  std::vector<Remembered> entries_;
};
