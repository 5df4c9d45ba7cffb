// Parent and child each write their marker 100 times ('P' and 'C'), busy-waiting in between; the parent then waits.
#include <unistd.h>

namespace {
void spin(unsigned n) {
  for (volatile unsigned i = 0; i < n; ++i) {
  }
}
}  // namespace

int main() {
  const pid_t pid = fork();
  const char mark = pid == 0 ? 'C' : 'P';
  for (unsigned i = 0; i < 100; ++i) {
    write(1, &mark, 1);
    spin(20 + (i * 7) % 50);
  }
  if (pid > 0) {
    int status;
    waitpid(pid, &status, 0);
  }
  return 0;
}
