// A fork bomb: every process, children included, forks until fork fails,
// then exits 0.  The first process then waits for each of its own children
// and writes "reaped N, fork errno E\n"; it exits 0 only if every child it
// waited for exited 0.
#include <errno.h>
#include <stdio.h>
#include <unistd.h>

int main() {
  const pid_t first = getpid();
  pid_t kids[256];
  int made = 0;
  for (;;) {
    const pid_t pid = fork();
    if (pid < 0) break;
    if (pid == 0) {
      made = 0;  // a new process: its own children only
      continue;
    }
    if (made < 256) kids[made++] = pid;
  }
  if (getpid() != first) return 0;
  const int fork_errno = errno;
  int bad = 0;
  for (int i = 0; i < made; ++i) {
    int status = -1;
    if (waitpid(kids[i], &status, 0) != kids[i] || status != 0) ++bad;
  }
  printf("reaped %d, fork errno %d\n", made, fork_errno);
  return bad == 0 ? 0 : 1;
}
