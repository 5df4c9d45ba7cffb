// tallowin against the cross toolchain's glibc, for size and instruction
// comparison only.
#include <stdio.h>
#include <unistd.h>

static int pid;

int main() {
  pid = getpid();
  printf("getpid works! current pid: %d\n", pid);
  return 0;
}
