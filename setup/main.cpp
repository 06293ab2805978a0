// The setup program's entry point, a console program on both platforms.
#include "setup/setup.h"

#ifdef _WIN32
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/setup_services.h"
#include "platform/win32.h"

int main(int argc, char** argv) {
  // The C library buffers a console's output whole when it is redirected: unbuffered, a prompt
  // is seen before the answer is awaited wherever the output goes.
  setvbuf(stdout, nullptr, _IONBF, 0);
  // "/?" asks every Windows console program for its help.
  char help[] = "--help";
  if (argc == 2 && strcmp(argv[1], "/?") == 0) argv[1] = help;
  const int status = RunSetup(argc, argv);
  // Started by a double-click, the console is this program's alone and closes with it: keep it
  // open until what was said has been read.
  DWORD processes[2];
  if (GetConsoleProcessList(processes, 2) == 1) {
    printf("\nPress Enter to close this window.");
    fflush(stdout);
    std::string line;
    while (platform::ReadInputLine(&line, 1000) == platform::INPUT_NOTHING) {
    }
  }
  return status;
}
#else
int main(int argc, char** argv) { return RunSetup(argc, argv); }
#endif
