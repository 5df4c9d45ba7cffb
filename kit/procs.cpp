// Process calls: fork's two results, exit statuses through waitpid, many
// children, waiting for any child, WNOHANG, orphans, execv with arguments.
// Run as "procs" by its path: execv starts the same file again as
// "kit-exec-child FD ARGS...".
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "check.h"

using kit::exit_of;
using kit::expect_eq;
using kit::expect_err;
using kit::expect_ok;
using kit::spin;

namespace {

int read_full(int fd, void* buf, int n) {
  int got = 0;
  while (got < n) {
    const int r = read(fd, static_cast<char*>(buf) + got, n - got);
    if (r <= 0) return got ? got : r;
    got += r;
  }
  return got;
}

// The child's wait word, or -1 (with a FAIL line) when it did not end.
int reap(const char* name, int pid) {
  int s = 0;
  const int r = kit::wait_for(pid, &s, 3000);
  if (r != pid) {
    expect_eq(name, r, pid);
    return -1;
  }
  return s;
}

void fork_results() {
  int fds[2];
  if (!expect_ok("fork-pipe", pipe(fds))) return;
  const int me = getpid();
  const int pid = fork();
  if (pid == 0) {
    const int words[2] = {getpid(), getppid()};
    write(fds[1], words, sizeof words);
    kit::end(0);
  }
  expect_ok("fork-parent-gets-pid", pid);
  if (pid == -1) return;
  close(fds[1]);
  int words[2] = {-1, -1};
  read_full(fds[0], words, sizeof words);
  close(fds[0]);
  expect_eq("fork-returns-child-pid", pid, words[0]);
  kit::check("fork-child-pid-differs", words[0] != me && words[0] > 0, "a new pid", "the parent's or none");
  expect_eq("getppid-in-child", words[1], me);
  expect_eq("getpid-stable", getpid(), me);
  int s = -1;
  expect_eq("waitpid-returns-pid", kit::wait_for(pid, &s, 3000), pid);
  expect_eq("waitpid-first-child-status", exit_of(s), 0);
}

void exit_statuses() {
  static const int codes[] = {0, 7, 42, 255};
  char name[40];
  for (int code : codes) {
    const int pid = fork();
    if (pid == 0) kit::end(code);
    const int s = reap("waitpid-status-reap", pid);
    snprintf(name, sizeof name, "waitpid-status-%d", code);
    expect_eq(name, exit_of(s), code);
  }
}

// The child writes C before it ends; once waitpid has returned, the
// parent writes P: a waitpid that returns early reads "PC".
void wait_waits() {
  int fds[2];
  if (!expect_ok("waitpid-waits-pipe", pipe(fds))) return;
  const int pid = fork();
  if (pid == 0) {
    spin(300000);
    write(fds[1], "C", 1);
    kit::end(3);
  }
  int s = 0;
  expect_eq("waitpid-blocking-returns-pid", waitpid(pid, &s, 0), pid);
  write(fds[1], "P", 1);
  close(fds[1]);
  char got[3] = {};
  read_full(fds[0], got, 2);
  close(fds[0]);
  kit::check("waitpid-waits-for-exit", strcmp(got, "CP") == 0, "CP", got);
  expect_eq("waitpid-blocking-status", exit_of(s), 3);
  expect_err("waitpid-reaped-child", waitpid(pid, &s, 0), EINVAL);
}

void many_children() {
  enum { kKids = 20 };
  int pids[kKids];
  int forked = 0;
  for (int i = 0; i < kKids; ++i) {
    pids[i] = fork();
    if (pids[i] == 0) kit::end(i + 1);
    if (pids[i] > 0) ++forked;
  }
  expect_eq("fork-many", forked, kKids);
  // Waited for in reverse: each status belongs to its own child.
  int right = 0;
  for (int i = kKids - 1; i >= 0; --i) {
    int s = -1;
    if (pids[i] > 0 && waitpid(pids[i], &s, 0) == pids[i] && exit_of(s) == i + 1) ++right;
  }
  expect_eq("waitpid-many-statuses", right, kKids);
}

void any_child() {
  const int a = fork();
  if (a == 0) kit::end(11);
  const int b = fork();
  if (b == 0) kit::end(12);
  int s1 = 0, s2 = 0;
  const int r1 = waitpid(-1, &s1, 0);
  const int r2 = waitpid(-1, &s2, 0);
  const bool pids = (r1 == a && r2 == b) || (r1 == b && r2 == a);
  kit::check("waitpid-any-pids", pids, "both children", "another pid or -1");
  const bool statuses = pids && exit_of(s1) == (r1 == a ? 11 : 12) && exit_of(s2) == (r2 == a ? 11 : 12);
  kit::check("waitpid-any-statuses", statuses, "each child's own", "mixed or wrong statuses");
  expect_err("waitpid-any-no-children", waitpid(-1, &s1, 0), EINVAL);
}

void no_hang() {
  int fds[2];
  if (!expect_ok("wnohang-pipe", pipe(fds))) return;
  const int pid = fork();
  if (pid == 0) {
    char c;
    kit::end(read(fds[0], &c, 1) == 1 ? 5 : 6);
  }
  int s = -1;
  expect_eq("waitpid-wnohang-running", waitpid(pid, &s, WNOHANG), 0);
  write(fds[1], "x", 1);
  s = reap("waitpid-wnohang-reap", pid);
  expect_eq("waitpid-wnohang-ended", exit_of(s), 5);
  close(fds[0]);
  close(fds[1]);
  expect_err("waitpid-bad-options", waitpid(-1, &s, 0x40), EINVAL);
  expect_err("waitpid-pid-zero", waitpid(0, &s, 0), EINVAL);
  expect_err("waitpid-not-a-child", waitpid(getppid(), &s, WNOHANG), EINVAL);
}

// The middle process ends; the grandchild must go on and get another parent.
void orphans() {
  int go[2], back[2];
  if (!expect_ok("orphan-pipes", pipe(go)) || !expect_ok("orphan-pipes", pipe(back))) return;
  const int mid = fork();
  if (mid == 0) {
    if (fork() == 0) {
      char c;
      read(go[0], &c, 1);  // until the middle process has been reaped
      const int words[2] = {getppid(), getpid()};
      write(back[1], words, sizeof words);
      kit::end(0);
    }
    kit::end(0);
  }
  reap("orphan-middle-ends", mid);
  write(go[1], "g", 1);
  close(go[1]);
  close(back[1]);
  int words[2] = {-1, -1};
  expect_eq("orphan-runs-on", read_full(back[0], words, sizeof words), int(sizeof words));
  kit::check("orphan-new-parent", words[0] != mid && words[0] != -1, "a parent other than the ended one",
             words[0] == mid ? "the ended parent" : "-1");
  expect_err("orphan-not-my-child", waitpid(words[1], nullptr, WNOHANG), EINVAL);
  close(go[0]);
  close(back[0]);
}

// The image execv starts, told apart by its argv[0] (which execv passes as
// given, so a kernel that loses the other arguments cannot make it run
// every check again): reports its pid through the inherited descriptor
// and exits with 42 when its arguments are exactly the ones sent.
const char kChild[] = "kit-exec-child";

int exec_child(int argc, char** argv) {
  if (argc != 5) return 10 + argc;
  const int fd = kit::to_int(argv[1]);
  const int pid = getpid();
  const bool wrote = write(fd, &pid, sizeof pid) == int(sizeof pid);
  if (strcmp(argv[2], "one") != 0 || strcmp(argv[3], "two words") != 0 || argv[4][0] != 0 || argv[5] != nullptr)
    return 2;
  return wrote ? 42 : 3;
}

void exec(const char* self) {
  int fds[2];
  if (!expect_ok("execv-pipe", pipe(fds))) return;
  char fd[12];
  snprintf(fd, sizeof fd, "%d", fds[1]);
  char* const args[] = {const_cast<char*>(kChild), fd,     const_cast<char*>("one"), const_cast<char*>("two words"),
                        const_cast<char*>(""),     nullptr};
  const int pid = fork();
  if (pid == 0) {
    execv(self, args);
    kit::end(99);  // execv came back
  }
  close(fds[1]);
  int seen = -1;
  const int n = read_full(fds[0], &seen, sizeof seen);
  close(fds[0]);
  const int s = reap("execv-reap", pid);
  kit::check("execv-runs", s != -1 && exit_of(s) != 99, "the new image to run", "execv returned");
  expect_eq("execv-arguments", exit_of(s), 42);
  expect_eq("execv-keeps-descriptors", n, int(sizeof seen));
  char want[16], saw[16];
  snprintf(want, sizeof want, "%d", pid);
  snprintf(saw, sizeof saw, "%d", seen);
  kit::check("execv-keeps-pid", seen == pid, want, n == int(sizeof seen) ? saw : "no pid reported");
  char* const none[] = {const_cast<char*>("x"), nullptr};
  expect_err("execv-missing-file", execv("/no-such-kit-file", none), ENOENT);
  expect_err("execv-bad-path", execv(reinterpret_cast<const char*>(4), none), EFAULT);
  expect_err("execv-bad-vector", execv(self, reinterpret_cast<char* const*>(4)), EFAULT);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 0 && strcmp(argv[0], kChild) == 0) return exec_child(argc, argv);
  fork_results();
  exit_statuses();
  wait_waits();
  many_children();
  any_child();
  no_hang();
  orphans();
  exec(argc > 0 ? argv[0] : "/kit/procs");
  return kit::done();
}
