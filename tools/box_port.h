// The serial port of a box that exists only in software: a pseudo-terminal whose other end,
// set up like the box's 115200-baud 8N1 line, is linked at a path of the caller's choosing for
// Knobvane to open like a board's USB serial port. Shared by adc-box and box-sim, and by the
// tests' and benchmarks' box (tests/support/pty_box.h).
#ifndef KNOBVANE_TOOLS_BOX_PORT_H
#define KNOBVANE_TOOLS_BOX_PORT_H

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "firmware/knobbox/reading_format.h"

struct BoxPort {
  int ours = -1;         // the box's end
  int theirs = -1;       // the end Knobvane opens
  char path[256] = "";   // the path of their end
  char link[4096] = "";  // where it is linked, "" when it is not
};

// Raw 8N1 at the box's speed. A pseudo-terminal ignores the speed but would otherwise echo
// the readings back and turn them into a line discipline's input.
inline void SetBoxLine(int fd) {
  termios settings;
  if (tcgetattr(fd, &settings) != 0) return;  // not a terminal: a file or a pipe will do
  cfmakeraw(&settings);
  settings.c_cflag |= CLOCAL | CREAD;
  static_assert(READING_BAUD == 115200, "the box's speed is B115200");
  cfsetispeed(&settings, B115200);
  cfsetospeed(&settings, B115200);
  tcsetattr(fd, TCSANOW, &settings);
}

// Opens the pseudo-terminal, their end set up as the box's line when boxLine (else as the
// system makes it); false with errno set.
inline bool OpenBoxTerminal(BoxPort* port, bool boxLine = true) {
  if (openpty(&port->ours, &port->theirs, port->path, nullptr, nullptr) != 0) return false;
  fcntl(port->ours, F_SETFD, FD_CLOEXEC);
  fcntl(port->theirs, F_SETFD, FD_CLOEXEC);
  if (boxLine) SetBoxLine(port->theirs);
  return true;
}

// Opens the pseudo-terminal and links its other end at `link`; false with errno set. Only a
// link is ever replaced, never a file of the user's.
inline bool OpenBoxPort(const char* link, BoxPort* port) {
  if (strlen(link) >= sizeof port->link - 8) {
    errno = ENAMETOOLONG;
    return false;
  }
  struct stat existing;
  if (lstat(link, &existing) == 0 && !S_ISLNK(existing.st_mode)) {
    errno = EEXIST;
    return false;
  }
  if (!OpenBoxTerminal(port)) return false;
  // Made aside and renamed into place, so the reader never sees a half-made or stale link.
  char fresh[sizeof port->link];
  snprintf(fresh, sizeof fresh, "%s.new", link);
  unlink(fresh);
  if (symlink(port->path, fresh) != 0 || rename(fresh, link) != 0) return false;
  snprintf(port->link, sizeof port->link, "%s", link);
  return true;
}

// Removes the link while it still leads to this port: another box may have taken the name
// since. Safe in a signal handler.
inline void RemoveBoxPortLink(const BoxPort& port) {
  if (port.link[0] == '\0') return;
  char target[sizeof port.path];
  const ssize_t length = readlink(port.link, target, sizeof target - 1);
  if (length >= 0 && static_cast<size_t>(length) == strlen(port.path) &&
      memcmp(target, port.path, static_cast<size_t>(length)) == 0) {
    unlink(port.link);
  }
}

// Writes all the bytes, however many writes it takes; false when the port failed.
inline bool WriteAll(int fd, const char* bytes, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t count = write(fd, bytes + done, size - done);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    done += static_cast<size_t>(count);
  }
  return true;
}

// The bytes written to a box's terminal that its reader has not taken yet, given the reader's
// end; -1 when the terminal cannot tell.
inline int UnreadBytes(int theirs) {
  // The kernel hands written bytes to the reader's input queue a little later, and until then
  // the queue looks empty, as if they had been read. A poll of that end hands them over.
  pollfd input = {theirs, POLLIN, 0};
  poll(&input, 1, 0);
  int waiting = 0;
  return ioctl(theirs, FIONREAD, &waiting) == 0 ? waiting : -1;
}

#endif  // KNOBVANE_TOOLS_BOX_PORT_H
