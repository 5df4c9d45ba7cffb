// Runs every check program of the kit: runall DIR [-t SECONDS]
//
// Each program DIR/NAME (the kit's names, compiled in: no directory
// listing is needed) runs as a child, fork + execv, with its standard
// output on a pipe.  A second child reads that pipe, passes every line on
// and counts the PASS and FAIL lines; at end of file it hands the counts
// back through a pipe of its own.  runall waits with waitpid(WNOHANG) and
// __time: a program still running after SECONDS (default 120) is reported
// as hung and left running (there is no call that ends another process),
// and runall goes on with the next.  Then one table: program, checks
// passed, failed, and how it ended.  Exit 0 only when every program ran,
// exited 0 and passed every check.
#include <err.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "check.h"

namespace {

const char* const kPrograms[] = {"procs", "files", "names", "pipes", "memory", "time", "badargs"};
enum { kCount = sizeof kPrograms / sizeof kPrograms[0] };

struct Outcome {
  int passed = -1, failed = -1;  // -1: not known
  int word = 0;                  // the wait word
  bool started = false, hung = false, counted = false;
};

// Reads the program's output to its end, passes it on, counts the lines
// starting "PASS " and "FAIL ", and writes the two counts to back.
__attribute__((noreturn)) void counter(int in, int back) {
  int counts[2] = {0, 0};
  char buf[512], start[5];
  int at_line = 0;  // bytes of the current line seen, up to 5
  int n;
  while ((n = read(in, buf, sizeof buf)) > 0) {
    write(1, buf, n);
    for (int i = 0; i < n; ++i) {
      if (buf[i] == '\n') {
        at_line = 0;
        continue;
      }
      if (at_line < 5) start[at_line] = buf[i];
      if (++at_line == 5) {
        if (memcmp(start, "PASS ", 5) == 0) ++counts[0];
        if (memcmp(start, "FAIL ", 5) == 0) ++counts[1];
      }
    }
  }
  write(back, counts, sizeof counts);
  _exit(0);
}

Outcome run(const char* dir, const char* name, int seconds) {
  Outcome o;
  char path[256];
  snprintf(path, sizeof path, "%s/%s", dir, name);
  int out[2], back[2];
  if (pipe(out) == -1 || pipe(back) == -1) return o;
  const int prog = fork();
  if (prog == 0) {
    dup2(out[1], 1);
    close(out[0]), close(out[1]), close(back[0]), close(back[1]);
    char* const argv[] = {path, nullptr};
    execv(path, argv);
    warn("%s", path);
    _exit(127);
  }
  const int reader = prog == -1 ? -1 : fork();
  if (reader == 0) {
    close(out[1]), close(back[0]);
    counter(out[0], back[1]);
  }
  close(out[0]), close(out[1]), close(back[1]);
  if (prog == -1 || reader == -1) {
    close(back[0]);
    return o;
  }
  o.started = true;
  const int ms = seconds * 1000;
  if (kit::wait_for(prog, &o.word, ms) != prog) {
    o.hung = true;
  } else if (kit::wait_for(reader, nullptr, ms < 10000 ? ms : 10000) == reader) {
    // The reader ends at end of file, soon after the program (unless the
    // kernel never gives end of file, or the program's children hold its
    // output open): counted only if it did.
    int counts[2];
    if (read(back[0], counts, sizeof counts) == int(sizeof counts)) {
      o.passed = counts[0], o.failed = counts[1], o.counted = true;
    }
  }
  close(back[0]);
  return o;
}

// The exit status in either wait form; a kill shows as 128 + signal in
// the raw form, the signal alone in the Unix form (the kit's programs
// exit only with 0, 1 or 127, so small other words are signals).
void describe(char* buf, int size, const Outcome& o) {
  const int w = o.word;
  if (!o.started) snprintf(buf, size, "not started");
  else if (o.hung) snprintf(buf, size, "hung: left running");
  else if ((w & 0x7f) == 0 && w > 0xff) snprintf(buf, size, "exit %d", (w >> 8) & 0xff);
  else if (w == 0 || w == 1 || w == 127) snprintf(buf, size, "exit %d", w);
  else if (w > 128 && w < 160) snprintf(buf, size, "killed by signal %d", w - 128);
  else if (w > 1 && w < 32) snprintf(buf, size, "killed by signal %d", w);
  else snprintf(buf, size, "exit %d", w);
}

bool passed(const Outcome& o) {
  const int w = o.word;
  return o.started && !o.hung && o.counted && o.failed == 0 && o.passed > 0 && (w == 0);
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 120;
  const char* dir = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "-t") == 0 && i + 1 < argc) seconds = kit::to_int(argv[++i]);
    else dir = argv[i];
  }
  if (dir == nullptr || seconds <= 0) {
    warnx("usage: runall DIR [-t SECONDS]");
    return 2;
  }
  Outcome all[kCount];
  for (int i = 0; i < kCount; ++i) all[i] = run(dir, kPrograms[i], seconds);
  kit::line("\nprogram    passed failed result\n");
  int good = 0;
  for (int i = 0; i < kCount; ++i) {
    char p[12] = "-", f[12] = "-", how[48];
    if (all[i].counted) snprintf(p, sizeof p, "%d", all[i].passed), snprintf(f, sizeof f, "%d", all[i].failed);
    describe(how, sizeof how, all[i]);
    char row[120];
    const int n = snprintf(row, sizeof row, "%-10s %6s %6s %s\n", kPrograms[i], p, f, how);
    write(1, row, n);
    good += passed(all[i]);
  }
  char last[48];
  const int n = snprintf(last, sizeof last, "%d of %d programs passed\n", good, int(kCount));
  write(1, last, n);
  return good == kCount ? 0 : 1;
}
