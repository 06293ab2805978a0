// Prints the process's command line as ArgumentList splits it, each argument ended by a NUL.
#include <cstdio>

#include "controller/argument_list.h"

int main() {
  ArgumentList arguments;
  for (uint32_t i = 0; i < arguments.Count(); ++i) {
    fputs(arguments.Argument(i), stdout);
    fputc(0, stdout);
  }
  return 0;
}
