// The remembered lists' files on Linux: in the XDG state folder, read and appended with plain
// POSIX calls that never wait.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/remembered.h"
#include "platform/remembered_file.h"

namespace {

// Makes the folders of the path, as private as the user's other state.
void MakeFolders(const char* path) {
  char folder[REMEMBERED_PATH_BYTES];
  const size_t length = strlen(path);
  if (length >= sizeof folder) return;
  for (size_t i = 1; i < length; ++i) {
    if (path[i] != '/') continue;
    memcpy(folder, path, i);
    folder[i] = '\0';
    mkdir(folder, 0700);
  }
}

}  // namespace

bool ListFilePath(const char* file, char* path, size_t size) {
  const char* state = getenv("XDG_STATE_HOME");
  const char* home = getenv("HOME");
  int length = -1;
  if (state != nullptr && state[0] == '/') {
    length = snprintf(path, size, "%s/knobvane/%s", state, file);
  } else if (home != nullptr && home[0] == '/') {
    length = snprintf(path, size, "%s/.local/state/knobvane/%s", home, file);
  }
  if (length >= 0 && static_cast<size_t>(length) < size) return true;
  if (size > 0) path[0] = '\0';
  return false;
}

// Opened without waiting: the mixer's loop reads it, and a pipe put at its path must not stall
// every call.
bool ReadListFile(const char* path, char* text, size_t capacity, size_t* length) {
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  *length = 0;
  ssize_t count = 0;
  while (*length < capacity && (count = read(fd, text + *length, capacity - *length)) > 0) {
    *length += static_cast<size_t>(count);
  }
  close(fd);
  return count >= 0 || *length > 0;
}

void AppendListLine(const char* path, const char* line, size_t length) {
  MakeFolders(path);
  const int fd = open(path, O_RDWR | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) return;
  char ended[2 * REMEMBERED_FIELD_BYTES + 4];
  size_t start = 1;
  struct stat status;
  char last = '\n';
  if (fstat(fd, &status) == 0 && status.st_size > 0 &&
      pread(fd, &last, 1, status.st_size - 1) == 1 && last != '\n') {
    start = 0;
  }
  ended[0] = '\n';
  if (length > sizeof ended - 1) length = sizeof ended - 1;
  memcpy(ended + 1, line, length);
  if (write(fd, ended + start, length + 1 - start) < 0) {
    // Nothing more to do: the entry keeps its place for this run only.
  }
  close(fd);
}
