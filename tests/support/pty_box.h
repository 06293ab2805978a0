// A box at the far end of a pseudo-terminal, for the tests and benchmarks: the tools' box port
// (tools/box_port.h), plugged in and unplugged at will. With a link, the reader finds it
// there, at a fresh terminal after every unplugging and at nothing until it is first plugged
// in; without one, by the terminal's own path, set up as the system makes it.
#ifndef KNOBVANE_TESTS_SUPPORT_PTY_BOX_H
#define KNOBVANE_TESTS_SUPPORT_PTY_BOX_H

#include <unistd.h>

#include <string>
#include <utility>

#include "tools/box_port.h"

namespace support {

class Box {
 public:
  explicit Box(std::string link = "") : link_(std::move(link)) {}
  ~Box() { Unplug(); }
  Box(const Box&) = delete;
  Box& operator=(const Box&) = delete;

  bool PlugIn() {
    Unplug();
    return link_.empty() ? OpenBoxTerminal(&port_, false) : OpenBoxPort(link_.c_str(), &port_);
  }

  // Closing the terminal is what an unplugged USB adapter looks like to the reader; its
  // device name goes too, as an adapter's does. Left behind, the link could lead a reader
  // retrying the port into the next terminal of that number, another test's.
  void Unplug() {
    RemoveBoxPortLink(port_);
    HangUp();
    if (port_.theirs >= 0) close(port_.theirs);
    port_ = BoxPort();
  }

  // Closes only the box's end: the reader sees a hang-up, and the terminal stays to be looked at.
  void HangUp() {
    if (port_.ours >= 0) close(port_.ours);
    port_.ours = -1;
  }

  // Where the reader opens the port: the link, or the terminal's own path.
  const char* Path() const { return link_.empty() ? port_.path : link_.c_str(); }
  // The reader's end, held open by the box, to look at the terminal's settings.
  int Terminal() const { return port_.theirs; }

  bool Send(const char* text, size_t size) { return WriteAll(port_.ours, text, size); }
  bool Send(const std::string& text) { return Send(text.data(), text.size()); }

  // The bytes sent that the reader has not taken yet; -1 when the terminal cannot tell.
  int Unread() const { return UnreadBytes(port_.theirs); }
  // True once the reader has taken every byte sent.
  bool Drained() const { return Unread() == 0; }

 private:
  std::string link_;
  BoxPort port_;
};

}  // namespace support

#endif  // KNOBVANE_TESTS_SUPPORT_PTY_BOX_H
