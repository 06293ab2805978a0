// A box at the far end of a pseudo-terminal, for the controller's tests and benchmarks: the
// controller reaches it through a link, which points at a fresh terminal after every
// hang-up, or at nothing until the box is first plugged in.
#ifndef KNOBVANE_TESTS_PTY_BOX_H
#define KNOBVANE_TESTS_PTY_BOX_H

#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <string>

class Box {
 public:
  explicit Box(const std::string& link) : link_(link) {}
  ~Box() { Unplug(); }
  Box(const Box&) = delete;
  Box& operator=(const Box&) = delete;

  bool PlugIn() {
    char name[128];
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) return false;
    // Raw before the controller opens it: bytes written early are neither echoed nor edited.
    termios settings;
    tcgetattr(slave_, &settings);
    cfmakeraw(&settings);
    tcsetattr(slave_, TCSANOW, &settings);
    unlink(link_.c_str());
    return symlink(name, link_.c_str()) == 0;
  }

  // Closing the terminal is what an unplugged USB adapter looks like to the reader; its
  // device name goes too, as an adapter's does. Left behind, the link could lead a reader
  // retrying the port into the next terminal of that number, another test's.
  void Unplug() {
    if (master_ < 0) return;
    unlink(link_.c_str());
    close(slave_);
    close(master_);
    master_ = slave_ = -1;
  }

  bool Send(const char* text, size_t size) {
    size_t done = 0;
    while (done < size) {
      const ssize_t n = write(master_, text + done, size - done);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  bool Send(const std::string& text) { return Send(text.data(), text.size()); }

  // True once the reader has taken every byte sent.
  bool Drained() const {
    int waiting = 0;
    return ioctl(slave_, FIONREAD, &waiting) == 0 && waiting == 0;
  }

 private:
  std::string link_;
  int master_ = -1;
  int slave_ = -1;
};

#endif  // KNOBVANE_TESTS_PTY_BOX_H
