// Forks, then parent and child each check that getpid keeps returning the
// value it returned just after the fork; the parent waits for the child
// (unless -w) and reports a non-zero status.  Exit status 0 only when every
// check was made and held.
#include <err.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static constexpr int kChecks = 800;

// Per process: the child gets its own copy, unless the kernel's
// address-space copy is broken, which is what this program is here to see.
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
  int failed = 0;  // the exit status: 1 once a check failed or could not be made
  const int kid = fork();
  if (kid < 0) {
    warn("fork");  // carry on as a single process
    failed = 1;
  }

  putchar('0');
  mypid = getpid();

  int x;  // the copy of mypid, then the child's status word
  for (int i = 0; i < kChecks; ++i) {
    x = mypid;
    // The value just seen first: asking again could hide a one-off change.
    const int now = getpid();
    if (now != x) errx(1, "pid mismatch (%d, should be %d) - your vm is broken!", now, x);
  }

  if (kid == 0) exit(0);  // the child ends here, silently
  if (kid > 0 && !nowait) {
    if (waitpid(kid, &x, 0) < 0) {
      warn("waitpid");
      failed = 1;
    } else if (x != 0) {
      warnx("pid %d: exit %d", kid, x);  // the word as stored
      failed = 1;
    }
  }
  putchar('\n');
  warnx("Complete.");
  return failed;
}
