// quendle against the cross toolchain's glibc, for size and instruction
// comparison only: the same calls, checks and messages, glibc's own
// printf/err machinery and stdio buffering.
#include <err.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

static int mypid;

int main(int argc, char **argv) {
  bool nowait = false;
  if (argc == 2 && strcmp(argv[1], "-w") == 0) {
    nowait = true;
  } else if (argc > 1) {
    warnx("usage: quendle [-w]");
    return 1;
  }
  warnx("Starting.");
  int failed = 0;
  const int kid = fork();
  if (kid < 0) {
    warn("fork");
    failed = 1;
  }
  putchar('0');
  mypid = getpid();
  int x;
  for (int i = 0; i < 800; ++i) {
    x = mypid;
    const int now = getpid();
    if (now != x) errx(1, "pid mismatch (%d, should be %d) - your vm is broken!", now, x);
  }
  if (kid == 0) exit(0);
  if (kid > 0 && !nowait) {
    if (waitpid(kid, &x, 0) < 0) {
      warn("waitpid");
      failed = 1;
    } else if (x != 0) {
      warnx("pid %d: exit %d", kid, x);
      failed = 1;
    }
  }
  putchar('\n');
  warnx("Complete.");
  return failed;
}
