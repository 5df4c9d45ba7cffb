// Prints the parent process id the kernel reports.
#include <stdio.h>
#include <unistd.h>

static int ppid;

int main(int, char **) {
  ppid = getppid();  // not checked: a failure prints as -1
  printf("getppid works! current parent pid: %d\n", ppid);
  return 0;
}
