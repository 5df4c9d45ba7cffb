// The parent exits at once; the child, orphaned, waits a while and exits with getppid().
#include <unistd.h>

int main() {
  const pid_t pid = fork();
  if (pid != 0) return 0;
  for (volatile int i = 0; i < 20000; ++i) {
  }
  return getppid();
}
