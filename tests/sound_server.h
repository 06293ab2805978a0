// A private sound server for the tests and benchmarks, in a folder of the caller's: PulseAudio,
// or PipeWire with its pulse server, WirePlumber (which links streams to outputs) and a
// session bus of its own, since WirePlumber needs one. Starting it points this process (and so
// every pactl and player it starts) at it. Every process is stopped by its PID.
#ifndef KNOBVANE_TESTS_SOUND_SERVER_H
#define KNOBVANE_TESTS_SOUND_SERVER_H

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

class SoundServer {
 public:
  SoundServer(std::string folder, bool pipewire)
      : folder_(std::move(folder)), pipewire_(pipewire) {}
  ~SoundServer() { Stop(); }
  SoundServer(const SoundServer&) = delete;
  SoundServer& operator=(const SoundServer&) = delete;

  // Starts the server with these PulseAudio modules loaded (a null output, say); false when
  // it did not come up within 20 s.
  bool Start(const std::vector<std::string>& modules) {
    for (const char* name : {"HOME", "XDG_RUNTIME_DIR", "PULSE_RUNTIME_PATH"}) {
      setenv(name, folder_.c_str(), 1);
    }
    setenv("PULSE_STATE_PATH", (folder_ + "/state").c_str(), 1);
    // The list of applications our programs keep goes here, never into the user's own state.
    setenv("XDG_STATE_HOME", (folder_ + "/state-home").c_str(), 1);
    return pipewire_ ? StartPipeWire(modules) : StartPulseAudio(modules);
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
    while (!processes_.empty()) {
      StopProcess(processes_.back());
      processes_.pop_back();
    }
    // A socket left behind would pass for the next server's being up.
    std::error_code ignored;
    std::filesystem::remove_all(folder_ + "/run", ignored);
    std::filesystem::remove(folder_ + "/bus", ignored);
  }

  // Every process of the server, the one our programs talk to last.
  const std::vector<pid_t>& Processes() const { return processes_; }

  // Starts a program with its output into a log of the folder's; -1 when it cannot start.
  static pid_t Spawn(const std::vector<std::string>& arguments, const std::string& log,
                     const char* input = "/dev/null") {
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
      argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, input, O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
  }

  // Ends a process we started, asking first.
  static void StopProcess(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    if (!Within(10, [pid] { return waitpid(pid, nullptr, WNOHANG) == pid; })) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }

 private:
  template <typename Condition>
  static bool Within(int seconds, Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!condition()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }

  static bool Accepting(const std::string& path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const bool accepted = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return accepted;
  }

  bool StartPulseAudio(const std::vector<std::string>& modules) {
    const std::string socket = folder_ + "/native";
    setenv("PULSE_SERVER", ("unix:" + socket).c_str(), 1);
    std::vector<std::string> arguments = {"pulseaudio",          "--daemonize=no",
                                          "--exit-idle-time=-1", "--use-pid-file=no",
                                          "--disallow-exit",     "-n"};
    for (const std::string& module : modules) arguments.push_back("--load=" + module);
    // The socket is opened after the devices are loaded: once it accepts, they are there.
    arguments.push_back("--load=module-native-protocol-unix auth-anonymous=1 socket=" + socket);
    processes_.push_back(Spawn(arguments, folder_ + "/server.log"));
    return processes_.back() > 0 && Within(20, [socket] { return Accepting(socket); });
  }

  bool StartPipeWire(const std::vector<std::string>& modules) {
    const std::string run = folder_ + "/run", bus = folder_ + "/bus";
    std::filesystem::create_directory(run);
    std::filesystem::permissions(run, std::filesystem::perms::owner_all);
    setenv("XDG_RUNTIME_DIR", run.c_str(), 1);
    // pipewire-pulse makes its socket where PULSE_RUNTIME_PATH says.
    setenv("PULSE_RUNTIME_PATH", (run + "/pulse").c_str(), 1);
    setenv("PULSE_SERVER", ("unix:" + run + "/pulse/native").c_str(), 1);
    setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + bus).c_str(), 1);
    const std::string log = folder_ + "/server.log";
    processes_.push_back(
        Spawn({"dbus-daemon", "--session", "--nofork", "--address=unix:path=" + bus}, log));
    if (!Within(20, [bus] { return Accepting(bus); })) return false;
    processes_.push_back(Spawn({"pipewire"}, log));
    if (!Within(20, [run] { return Accepting(run + "/pipewire-0"); })) return false;
    processes_.push_back(Spawn({"wireplumber"}, log));
    processes_.push_back(Spawn({"pipewire-pulse"}, log));
    if (!Within(20, [run] { return Accepting(run + "/pulse/native"); })) return false;
    for (const std::string& module : modules) {
      std::vector<std::string> load = {"pactl", "load-module"};
      for (size_t start = 0, end; start < module.size(); start = end + 1) {
        end = module.find(' ', start);
        if (end == std::string::npos) end = module.size();
        if (end > start) load.push_back(module.substr(start, end - start));
      }
      const pid_t loading = Spawn(load, log);
      int status = 0;
      if (loading <= 0 || waitpid(loading, &status, 0) != loading || !WIFEXITED(status) ||
          WEXITSTATUS(status) != 0) {
        return false;
      }
    }
    return true;
  }

  std::string folder_;
  bool pipewire_;
  std::vector<pid_t> processes_;  // in the order started
};

#endif  // KNOBVANE_TESTS_SOUND_SERVER_H
