// Never ends by itself; argv[1] picks the loop:
//   tight  a branch to itself (one cached block chained to itself)
//   calls  getpid for ever (kernel calls in the loop)
//   child  the child loops tightly while the parent is blocked in waitpid
#include <string.h>
#include <unistd.h>

namespace {
[[noreturn]] void tight() {
  for (;;) asm volatile(".set noreorder\n1: b 1b\n nop\n.set reorder");
}
}  // namespace

int main(int argc, char **argv) {
  const char *mode = argc > 1 ? argv[1] : "tight";
  if (strcmp(mode, "calls") == 0)
    for (;;) getpid();
  if (strcmp(mode, "child") == 0) {
    const pid_t pid = fork();
    if (pid == 0) tight();
    int status;
    waitpid(pid, &status, 0);
    return 1;
  }
  tight();
}
