// marrowick against the cross toolchain's glibc, for size and instruction
// comparison only.
#include <err.h>
#include <stdio.h>
#include <unistd.h>

static int ppid;

int main() {
  ppid = getppid();
  if (ppid == -1) {
    warn("getppid");
    return 1;
  }
  printf("getppid works! current parent pid: %d\n", ppid);
  return 0;
}
