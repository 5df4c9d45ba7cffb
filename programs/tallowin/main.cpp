// Prints the process id the kernel reports, or reports its failure.
#include <err.h>
#include <stdio.h>
#include <unistd.h>

static int pid;

int main(int, char **) {
  pid = getpid();
  // -1 is a failure whether or not the kernel set the error flag: no
  // process has that id, and "works" must never be said of it.
  if (pid == -1) {
    warn("getpid");
    return 1;
  }
  printf("getpid works! current pid: %d\n", pid);
  return 0;
}
