// marrowick against the cross toolchain's glibc, for size and instruction
// comparison only.
#include <stdio.h>
#include <unistd.h>

static int ppid;

int main() {
  ppid = getppid();
  printf("getppid works! current parent pid: %d\n", ppid);
  return 0;
}
