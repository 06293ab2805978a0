// Knobvane's entry point: a window-less GUI program on Windows, a plain program elsewhere.
// Both take their arguments from the whole command line, split by ArgumentList.
#include "controller/knobvane.h"

#ifdef _WIN32
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  ArgumentList arguments;
  return RunKnobvane(arguments);
}
#else
int main() {
  ArgumentList arguments;
  return RunKnobvane(arguments);
}
#endif
