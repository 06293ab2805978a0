// A process to own sessions of the stand-in Core Audio: a test copies it under an
// application's name (firefox.exe, Discord.exe), starts it under Wine, reads its Windows
// process id from the file named on its command line, and stops it by its Linux PID. A real
// process is what lets a program name a session by QueryFullProcessImageNameW.
#include <windows.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: session-owner PID-FILE\n");
    return 2;
  }
  // Written whole under another name first: a test polling for the file never reads half.
  const std::string next = std::string(argv[1]) + ".next";
  FILE* file = fopen(next.c_str(), "w");
  if (file == nullptr) return 1;
  fprintf(file, "%lu\n", static_cast<unsigned long>(GetCurrentProcessId()));
  if (fclose(file) != 0 || !MoveFileExA(next.c_str(), argv[1], MOVEFILE_REPLACE_EXISTING)) {
    return 1;
  }
  for (;;) Sleep(INFINITE);
}
