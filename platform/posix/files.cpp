// Small reads of the file system, shared by the Linux faces (ports, their causes, sysfs).
#include "platform/posix/files.h"

#include <dirent.h>
#include <limits.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace posix {

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

std::string FirstLine(const std::string& path) {
  FILE* file = fopen(path.c_str(), "r");
  if (file == nullptr) return "";
  char text[256] = "";
  if (fgets(text, sizeof text, file) == nullptr) text[0] = 0;
  fclose(file);
  text[strcspn(text, "\r\n")] = 0;
  return text;
}

}  // namespace posix
