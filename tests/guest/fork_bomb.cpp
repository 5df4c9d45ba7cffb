// Forks until fork fails (children spin, then exit 0) and exits with the number of children made; errno is in the
// trace.
#include <unistd.h>

int main() {
  int made = 0;
  for (;;) {
    const pid_t pid = fork();
    if (pid < 0) return made;
    if (pid == 0) {
      for (volatile int i = 0; i < 200000; ++i) {
      }
      return 0;
    }
    ++made;
  }
}
