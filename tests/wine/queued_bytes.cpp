// Prints how many bytes wait to be read on a terminal, without taking any of them, so a
// test can see whether the program at the other end really reads its port.
// Usage: queued-bytes TERMINAL; exit status 1 when the terminal cannot be asked.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: queued-bytes TERMINAL\n");
    return 1;
  }
  const int terminal = open(argv[1], O_RDONLY | O_NOCTTY | O_NONBLOCK);
  if (terminal < 0) {
    perror(argv[1]);
    return 1;
  }
  int waiting = 0;
  const int result = ioctl(terminal, FIONREAD, &waiting);
  close(terminal);
  if (result != 0) {
    perror("FIONREAD");
    return 1;
  }
  printf("%d\n", waiting);
  return 0;
}
