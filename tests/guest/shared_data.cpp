// The child sets a data and a bss word to 40 and 2 and exits; the parent waits and exits with their sum (1 when fork
// copied memory, 42 when it shared it).
#include <unistd.h>

int in_data = 1;
int in_bss;

int main() {
  const pid_t pid = fork();
  if (pid == 0) {
    in_data = 40;
    in_bss = 2;
    return 0;
  }
  int status;
  waitpid(pid, &status, 0);
  return in_data + in_bss;
}
