// What a mixer face has seen, in the order it first saw it: the devices, and the applications
// that played. Each list is kept in a file shared by every program of ours, one entry a line,
// so that every device and application keeps its line number from run to run and while it
// comes and goes. A file only ever grows; remove it to start its list afresh.
#pragma once

#include <string>
#include <vector>

struct Remembered {
  std::string id;    // a device's "sink:" or "source:" and pulse name; how an application was named
  std::string name;  // what the user sees: a device's description, an application's name
};

// $XDG_STATE_HOME/knobvane/<file>, or ~/.local/state/knobvane/<file>; empty when neither
// variable says where.
std::string StateFilePath(const char* file);

class RememberedList {
 public:
  // Which field tells one entry from another: a device goes by its id, an application by its
  // name, so that a line naming it by another id (the server's stream-restore id) stands for it.
  enum Key { BY_ID, BY_NAME };

  RememberedList(std::string path, Key key) : path_(std::move(path)), key_(key) {}

  // Takes up what the file holds beyond what is known already, as long as the file still
  // begins with the known entries (so no known one changes place). A missing, unreadable or
  // damaged file leaves what is known as it is.
  void Load();

  // The place of the entry with that key (id or name, cleaned as the file takes it), added at
  // the end (and to the file) when it is new; -1 when the list is full or the key empty.
  int Remember(const std::string& id, const std::string& name);

  const std::vector<Remembered>& All() const { return entries_; }
  // The key of the entry at that place.
  const std::string& KeyAt(size_t place) const {
    return key_ == BY_ID ? entries_[place].id : entries_[place].name;
  }

 private:
  std::string path_;
  Key key_;
  std::vector<Remembered> entries_;
};
