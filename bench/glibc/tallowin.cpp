// tallowin against the cross toolchain's glibc, for size and instruction
// comparison only.
#include <err.h>
#include <stdio.h>
#include <unistd.h>

static int pid;

int main() {
  pid = getpid();
  if (pid == -1) {
    warn("getpid");
    return 1;
  }
  printf("getpid works! current pid: %d\n", pid);
  return 0;
}
