// Prints the parent process id the kernel reports, or reports its failure.
#include <err.h>
#include <stdio.h>
#include <unistd.h>

static int ppid;

int main(int, char **) {
  ppid = getppid();
  // -1 is a failure whether or not the kernel set the error flag: no
  // process has that id, and "works" must never be said of it.
  if (ppid == -1) {
    warn("getppid");
    return 1;
  }
  printf("getppid works! current parent pid: %d\n", ppid);
  return 0;
}
