// Prints the process id the kernel reports.
#include <stdio.h>
#include <unistd.h>

static int pid;

int main(int, char **) {
  pid = getpid();  // not checked: a failure prints as -1
  printf("getpid works! current pid: %d\n", pid);
  return 0;
}
