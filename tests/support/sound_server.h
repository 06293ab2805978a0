// A private sound server for the C++ tests and benchmarks, in a temporary folder of its own:
// the shell tests' (tests/world.sh, run as a program), PulseAudio or PipeWire with its pulse
// server, WirePlumber and a session bus, with a null output "knobs". Starting it points this
// process, and every pactl and player it starts, at it. The script stops every process it
// started, by PID, once its standard input ends: at Stop, or when this process dies.
#ifndef KNOBVANE_TESTS_SUPPORT_SOUND_SERVER_H
#define KNOBVANE_TESTS_SUPPORT_SOUND_SERVER_H

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/deadline.h"
#include "tests/support/process.h"

namespace support {

class SoundServer {
 public:
  explicit SoundServer(bool pipewire) : pipewire_(pipewire) {
    char folder[] = "/tmp/knobvane-server-XXXXXX";
    if (mkdtemp(folder) != nullptr) folder_ = folder;
  }
  ~SoundServer() {
    Stop();
    std::error_code ignored;
    if (!folder_.empty()) std::filesystem::remove_all(folder_, ignored);
  }
  SoundServer(const SoundServer&) = delete;
  SoundServer& operator=(const SoundServer&) = delete;

  // The server's folder, for the logs of what the caller starts.
  const std::string& Folder() const { return folder_; }

  // Starts the server with these PulseAudio modules loaded besides the null output; false
  // when it did not come up.
  bool Start(const std::vector<std::string>& modules = {}) {
    Stop();
    const std::string settings = folder_ + "/server.env";
    std::filesystem::remove(settings);
    int input[2];
    if (folder_.empty() || pipe2(input, O_CLOEXEC) != 0) return false;
    std::vector<std::string> arguments = {"bash", KNOBVANE_WORLD_SH, folder_,
                                          pipewire_ ? "pipewire" : "pulseaudio"};
    arguments.insert(arguments.end(), modules.begin(), modules.end());
    const int log =
        open((folder_ + "/world.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    world_ = Spawn(arguments, input[0], log, log);
    close(input[0]);
    close(log);
    input_ = input[1];
    // The script writes its settings once the server is up, and ends when it failed.
    bool ended = world_ <= 0;
    Eventually(
        [&] {
          return ended || (ended = waitpid(world_, nullptr, WNOHANG) == world_) ||
                 std::filesystem::exists(settings);
        },
        120, std::chrono::milliseconds(10));
    if (ended) world_ = -1;
    return !ended && TakeSettings(settings);
  }

  // Freezes the server our programs talk to: it keeps its socket but answers nothing.
  void Pause() {
    if (!processes_.empty()) kill(processes_.back(), SIGSTOP);
  }
  void Resume() {
    if (!processes_.empty()) kill(processes_.back(), SIGCONT);
  }

  void Stop() {
    Resume();
    processes_.clear();
    if (input_ >= 0) close(input_);
    input_ = -1;
    AwaitOrKill(world_, 60);
    world_ = -1;
  }

  // Every process of the server, the one our programs talk to last.
  const std::vector<pid_t>& Processes() const { return processes_; }

 private:
  // The environment that reaches the server, and its processes, as NAME=VALUE lines.
  bool TakeSettings(const std::string& path) {
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) {
      const size_t equals = line.find('=');
      const std::string name = line.substr(0, equals), value = line.substr(equals + 1);
      if (equals == std::string::npos) continue;
      if (name == "pids") {
        std::istringstream pids(value);
        for (pid_t pid; pids >> pid;) processes_.push_back(pid);
      } else if (value.empty()) {
        unsetenv(name.c_str());
      } else {
        setenv(name.c_str(), value.c_str(), 1);
      }
    }
    return !processes_.empty();
  }

  std::string folder_;
  bool pipewire_;
  pid_t world_ = -1;  // the script, running as long as the server does
  int input_ = -1;    // its standard input: closing it stops the server
  std::vector<pid_t> processes_;
};

}  // namespace support

#endif  // KNOBVANE_TESTS_SUPPORT_SOUND_SERVER_H
