// Parent and child each write their marker 100 times ('P' and 'C'), busy-waiting in between; the parent then waits.
// With the argument "stderr" the child writes to fd 2; with "late" the parent first spins alone for a while.
#include <unistd.h>

namespace {
void spin(unsigned n) {
  for (volatile unsigned i = 0; i < n; ++i) {
  }
}
}  // namespace

int main(int argc, char **argv) {
  const int child_fd = argc > 1 && argv[1][0] == 's' ? 2 : 1;
  if (argc > 1 && argv[1][0] == 'l') spin(30000);
  const pid_t pid = fork();
  const char mark = pid == 0 ? 'C' : 'P';
  for (unsigned i = 0; i < 100; ++i) {
    write(pid == 0 ? child_fd : 1, &mark, 1);
    spin(20 + (i * 7) % 50);
  }
  if (pid > 0) {
    int status;
    waitpid(pid, &status, 0);
  }
  return 0;
}
