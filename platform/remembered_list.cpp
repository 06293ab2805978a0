// The remembered lists with their entries as strings, for the Linux mixer; the rules are the
// table's (remembered.cpp).
#include "platform/remembered.h"

std::string StateFilePath(const char* file) {
  char path[REMEMBERED_PATH_BYTES];
  return ListFilePath(file, path, sizeof path) ? std::string(path) : std::string();
}

RememberedList::RememberedList(const std::string& path, Key key)
    : key_(key), table_(new RememberedTable(path.c_str(), key)) {}

RememberedList::~RememberedList() { delete table_; }

void RememberedList::Load() {
  table_->Load();
  Mirror();
}

int RememberedList::Remember(const std::string& id, const std::string& name) {
  const int place = table_->Remember(id.c_str(), name.c_str());
  Mirror();
  return place;
}

// Entries never change once listed: only the new ones are copied.
void RememberedList::Mirror() {
  for (size_t i = entries_.size(); i < table_->Count(); ++i) {
    entries_.push_back(Remembered{table_->At(i).id, table_->At(i).name});
  }
}
