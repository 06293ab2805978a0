// The setup program's platform on Windows, the rest: Linescout's list in the compatibility mode
// Knobvane runs in, the compatibility mode and the Run value that xp-compat.cmd and
// autostart.cmd write (the same keys and values), Knobvane.exe beside this program started and
// ended, and a line of the user's input that can be waited for with a time limit.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/setup_services.h"
#include "platform/win32.h"
// After <windows.h>, whose types they use.
#include <tlhelp32.h>

namespace {

const char RUN_KEY[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char RUN_VALUE[] = "Knobvane";
const char LAYERS_KEY[] = "Software\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\Layers";
const char CONTROLLER[] = "Knobvane.exe";
const char LISTER[] = "Linescout.exe";

// This program's folder, with its closing backslash, as cmd's %~dp0 gives a script's.
std::string Folder() {
  char path[MAX_PATH] = "";
  const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  std::string folder(path, length < sizeof path ? length : 0);
  return folder.substr(0, folder.rfind('\\') + 1);
}

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A text value of a key, "" when there is none.
std::string ValueOf(HKEY root, const char* key, const char* name) {
  HKEY opened;
  if (RegOpenKeyExA(root, key, 0, KEY_READ, &opened) != ERROR_SUCCESS) return "";
  char text[2048];
  DWORD size = sizeof text - 1, type = 0;
  const LONG result =
      RegQueryValueExA(opened, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
  RegCloseKey(opened);
  if (result != ERROR_SUCCESS || type != REG_SZ) return "";
  text[size] = 0;
  return text;
}

bool SetValue(const char* key, const std::string& name, const std::string& text) {
  HKEY opened;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &opened,
                      nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const LONG result =
      RegSetValueExA(opened, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                     static_cast<DWORD>(text.size() + 1));
  RegCloseKey(opened);
  return result == ERROR_SUCCESS;
}

// True when the value is gone, whether or not it was ever there.
bool DeleteValue(const char* key, const std::string& name) {
  HKEY opened;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, key, 0, KEY_SET_VALUE, &opened) != ERROR_SUCCESS) {
    return true;
  }
  const LONG result = RegDeleteValueA(opened, name.c_str());
  RegCloseKey(opened);
  return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}

// Windows 8 and later mark what the Compatibility tab sets with "~ "; Vista and 7 do not.
std::string CompatibilityMode() {
  const std::string version = ValueOf(
      HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", "CurrentVersion");
  return version == "6.0" || version == "6.1" ? "WINXPSP3" : "~ WINXPSP3";
}

// The Knobvane.exe processes of this session: the user's own.
std::vector<DWORD> ControllerProcesses() {
  std::vector<DWORD> found;
  DWORD session = 0, theirs = 0;
  ProcessIdToSessionId(GetCurrentProcessId(), &session);
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return found;
  PROCESSENTRY32 process;
  process.dwSize = sizeof process;
  for (BOOL more = Process32First(snapshot, &process); more;
       more = Process32Next(snapshot, &process)) {
    if (_stricmp(process.szExeFile, CONTROLLER) == 0 &&
        ProcessIdToSessionId(process.th32ProcessID, &theirs) && theirs == session) {
      found.push_back(process.th32ProcessID);
    }
  }
  CloseHandle(snapshot);
  return found;
}

// Ends the running Knobvane.exe processes, saying why; true when none is left.
bool EndControllers(const char* why) {
  bool ended = true;
  for (DWORD id : ControllerProcesses()) {
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
    const bool done = process != nullptr && TerminateProcess(process, 0) &&
                      WaitForSingleObject(process, 5000) == WAIT_OBJECT_0;
    if (process != nullptr) CloseHandle(process);
    printf(done ? "Ended Knobvane (process %lu)%s.\n" : "Could not end Knobvane (process %lu)%s.\n",
           static_cast<unsigned long>(id), why);
    ended = ended && done;
  }
  return ended;
}

// ---- The user's input: a thread waits for lines, so that a wait for one can end ---------------

struct Lines {
  HANDLE ready = nullptr;  // a line (or the end) is there
  HANDLE taken = nullptr;  // the line was taken: read the next
  char text[1024] = "";
  bool ended = false;
} lines;

DWORD WINAPI ReadLines(LPVOID) {
  for (;;) {
    lines.ended = fgets(lines.text, sizeof lines.text, stdin) == nullptr;
    SetEvent(lines.ready);
    if (lines.ended) return 0;
    WaitForSingleObject(lines.taken, INFINITE);
  }
}

}  // namespace

namespace platform {

const char* SetupProgramName() { return "KnobvaneSetup.exe"; }

int ProposedFirstLine() { return -1; }

bool ControllerLinesListing(std::string* listing) {
  const std::string lister = Folder() + LISTER;
  if (!Exists(lister)) return false;
  SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
  HANDLE readEnd, writeEnd;
  if (!CreatePipe(&readEnd, &writeEnd, &inherited, 0)) return false;
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = writeEnd;
  startup.hStdError = writeEnd;
  PROCESS_INFORMATION process;
  std::string command = "\"" + lister + "\"";
  // The mode Knobvane runs in (xp-compat.cmd), given to Linescout alone for this run.
  SetEnvironmentVariableA("__COMPAT_LAYER", "WinXPSp3");
  const BOOL started = CreateProcessA(lister.c_str(), &command[0], nullptr, nullptr, TRUE, 0,
                                      nullptr, nullptr, &startup, &process);
  SetEnvironmentVariableA("__COMPAT_LAYER", nullptr);
  CloseHandle(writeEnd);
  if (started) {
    char chunk[512];
    DWORD count = 0;
    while (ReadFile(readEnd, chunk, sizeof chunk, &count, nullptr) && count > 0) {
      for (DWORD i = 0; i < count; ++i) {
        if (chunk[i] != '\r') *listing += chunk[i];
      }
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
  }
  CloseHandle(readEnd);
  return started != 0;
}

std::string SettingsPlace() { return std::string("HKCU\\") + RUN_KEY + ", value " + RUN_VALUE; }

bool ReadSettings(ControllerSettings* settings) {
  // "C:\...\Knobvane.exe" COM3 1 x 4: the program in quotes, the port, the lines.
  std::string run = ValueOf(HKEY_CURRENT_USER, RUN_KEY, RUN_VALUE);
  const size_t program = run.find('"', 1);
  if (run.empty() || run[0] != '"' || program == std::string::npos) return false;
  run = run.substr(run.find_first_not_of(' ', program + 1) == std::string::npos
                       ? run.size()
                       : run.find_first_not_of(' ', program + 1));
  const size_t space = run.find(' ');
  settings->port = run.substr(0, space);
  settings->lines = space == std::string::npos ? "" : run.substr(space + 1);
  return !settings->port.empty();
}

bool WriteSettings(const ControllerSettings& settings) {
  const std::string folder = Folder();
  if (!Exists(folder + CONTROLLER) || !Exists(folder + LISTER)) {
    printf("Knobvane.exe and Linescout.exe are not in %s: keep %s beside them.\n", folder.c_str(),
           SetupProgramName());
    return false;
  }
  const std::string mode = CompatibilityMode();
  if (!SetValue(LAYERS_KEY, folder + CONTROLLER, mode) ||
      !SetValue(LAYERS_KEY, folder + LISTER, mode)) {
    printf("Could not set the compatibility mode in HKCU\\%s.\n", LAYERS_KEY);
    return false;
  }
  printf(
      "Knobvane.exe and Linescout.exe in %s now run in the compatibility mode for Windows XP "
      "(Service Pack 3).\n",
      folder.c_str());
  // The mode is for the legacy mixer's lines; the Core Audio lines after them work either way.
  printf("The Default Output, Default Input and Applications lines need no compatibility mode.\n");
  const std::string old = ValueOf(HKEY_CURRENT_USER, RUN_KEY, RUN_VALUE);
  const std::string run = "\"" + folder + CONTROLLER + "\" " + settings.port + " " + settings.lines;
  if (!SetValue(RUN_KEY, RUN_VALUE, run)) {
    printf("Could not write the value %s in HKCU\\%s; the settings were left as they were.\n",
           RUN_VALUE, RUN_KEY);
    return false;
  }
  printf("Knobvane now starts at login, as:\n  %s\n", run.c_str());
  if (!old.empty() && old != run) printf("(It started as: %s)\n", old.c_str());
  return true;
}

bool RemoveSettings() {
  const std::string folder = Folder();
  bool removed = EndControllers("");
  if (DeleteValue(RUN_KEY, RUN_VALUE)) {
    printf("Knobvane no longer starts at login.\n");
  } else {
    printf("Could not delete the value %s in HKCU\\%s.\n", RUN_VALUE, RUN_KEY);
    removed = false;
  }
  if (DeleteValue(LAYERS_KEY, folder + CONTROLLER) && DeleteValue(LAYERS_KEY, folder + LISTER)) {
    printf("Knobvane.exe and Linescout.exe in %s no longer have a compatibility mode set.\n",
           folder.c_str());
  } else {
    printf("Could not take the compatibility mode away in HKCU\\%s.\n", LAYERS_KEY);
    removed = false;
  }
  return removed;
}

// Elevated or not, a program runs as the user who started it, whose Run value and sound it sets.
std::string UserWarning() { return ""; }

bool ControllerRunning() { return !ControllerProcesses().empty(); }

bool StopController() {
  return EndControllers(", which may hold the port; it starts again at the end");
}

bool StartController() {
  std::string run = ValueOf(HKEY_CURRENT_USER, RUN_KEY, RUN_VALUE);
  if (run.empty()) return false;
  if (!EndControllers(", which ran with the settings before")) return false;
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  const std::string folder = Folder();
  if (!CreateProcessA(nullptr, &run[0], nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(),
                      &startup, &process)) {
    printf("Could not start Knobvane (error %lu): it starts at the next login.\n",
           static_cast<unsigned long>(GetLastError()));
    return false;
  }
  printf("Started Knobvane (process %lu).\n", static_cast<unsigned long>(process.dwProcessId));
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return true;
}

Input ReadInputLine(std::string* line, DWORD milliseconds) {
  if (lines.ready == nullptr) {
    lines.ready = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    lines.taken = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE reader = CreateThread(nullptr, 0, ReadLines, nullptr, 0, nullptr);
    if (reader == nullptr) return INPUT_ENDED;
    CloseHandle(reader);
  }
  static bool ended = false;
  if (ended) return INPUT_ENDED;
  if (WaitForSingleObject(lines.ready, milliseconds) != WAIT_OBJECT_0) return INPUT_NOTHING;
  if (lines.ended) {
    ended = true;
    return INPUT_ENDED;
  }
  *line = lines.text;
  line->erase(line->find_last_not_of("\r\n") + 1);
  SetEvent(lines.taken);
  return INPUT_LINE;
}

}  // namespace platform
