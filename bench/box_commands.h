// box-sim's standard input for the benchmarks that run it in real time: a FIFO this program
// holds open for reading and writing, so that neither end waits for the other to open it.
#ifndef KNOBVANE_BENCH_BOX_COMMANDS_H
#define KNOBVANE_BENCH_BOX_COMMANDS_H

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/deadline.h"
#include "tests/support/process.h"

namespace bench {

class BoxCommands {
 public:
  explicit BoxCommands(const std::string& path) : path_(path) {
    if (mkfifo(path.c_str(), 0600) == 0) fd_ = open(path.c_str(), O_RDWR | O_CLOEXEC);
  }
  // The FIFO goes too, so that the next run in the same folder can make its own.
  ~BoxCommands() {
    if (fd_ >= 0) close(fd_);
    unlink(path_.c_str());
  }
  BoxCommands(const BoxCommands&) = delete;
  BoxCommands& operator=(const BoxCommands&) = delete;

  bool Ready() const { return fd_ >= 0; }
  const std::string& Path() const { return path_; }
  // Sends one command line, or several each ended by a line feed, in one write.
  bool Send(const std::string& line) {
    const std::string text = line.empty() || line.back() != '\n' ? line + "\n" : line;
    return write(fd_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  }

 private:
  std::string path_;
  int fd_ = -1;
};

// Starts box-sim in real time on the firmware, its commands from the FIFO and its port linked
// at `link`, its answers and messages (and with `timing`, its timing lines) in `log`, handing
// the port the UART's bytes in USB frames of `usbFrameUs` (0: each byte at once); its PID once
// the port is there, else what Spawn gave or -1 (stop it by PID either way).
inline pid_t StartBoxSim(const std::string& boxSim, const std::string& firmware,
                         const BoxCommands& commands, const std::string& link,
                         const std::string& log, int usbFrameUs, bool timing = false) {
  std::vector<std::string> arguments = {
      boxSim, firmware, "--link", link, "--realtime", "--usb-frame", std::to_string(usbFrameUs)};
  if (timing) arguments.push_back("--timing");
  const pid_t pid = support::Spawn(arguments, log, commands.Path().c_str());
  struct stat linked;
  if (pid <= 0) return pid;
  if (!support::Eventually([&] { return lstat(link.c_str(), &linked) == 0; }, 20)) {
    support::StopProcess(pid);
    return -1;
  }
  return pid;
}

}  // namespace bench

#endif  // KNOBVANE_BENCH_BOX_COMMANDS_H
