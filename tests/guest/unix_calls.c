/* Unix programs on pipes, descriptors, the heap and waiting, one per
 * scenario named by argv[1].  Each reports with one write per line (no
 * buffered output to duplicate at a fork), so that the same source built
 * with the cross C library runs alike on qemu-mips where the semantics
 * agree.  Exit status 0 when every check held, else the line of the first
 * failed check. */
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

static int failed_line;
#define CHECK(cond)                                          \
  do {                                                       \
    if (!(cond) && failed_line == 0) failed_line = __LINE__; \
  } while (0)

static void say(const char *fmt, ...) {
  char buf[256];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  write(1, buf, (size_t)n);
}

/* Reads until end of file; returns the bytes read, at most cap kept. */
static int drain(int fd, char *into, int cap) {
  int total = 0;
  char chunk[512];
  for (;;) {
    int n = (int)read(fd, chunk, sizeof chunk);
    if (n <= 0) return n < 0 ? -1 : total;
    for (int i = 0; i < n && total + i < cap; ++i) into[total + i] = chunk[i];
    total += n;
  }
}

static int child_status(pid_t pid) {
  int status = -1;
  CHECK(waitpid(pid, &status, 0) == pid);
  return status;
}

/* A child writes a line into a pipe; the parent reads to the end. */
static void pingpong(void) {
  int fds[2];
  CHECK(pipe(fds) == 0);
  CHECK(fds[0] == 3 && fds[1] == 4);
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    write(fds[1], "hello through a pipe\n", 21);
    _exit(3);
  }
  close(fds[1]);
  char buf[64] = {0};
  int n = drain(fds[0], buf, sizeof buf - 1);
  say("read %d: %s", n, buf);
  say("status %d\n", child_status(pid));
}

/* More than the pipe holds: the writer waits for the reader, and every
 * byte arrives in order. */
static void bulk(void) {
  static char big[100000];
  int fds[2];
  CHECK(pipe(fds) == 0);
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    for (int i = 0; i < (int)sizeof big; ++i) big[i] = (char)(i * 7);
    int n = (int)write(fds[1], big, sizeof big);
    _exit(n == (int)sizeof big ? 0 : 1);
  }
  close(fds[1]);
  int n = drain(fds[0], big, sizeof big);
  int bad = 0;
  for (int i = 0; i < (int)sizeof big; ++i) bad += big[i] != (char)(i * 7);
  say("read %d, %d wrong, status %d\n", n, bad, child_status(pid));
}

/* A write with no reader left fails (here EIO; EPIPE under Linux, where
 * SIGPIPE is ignored first), and never hangs. */
static void no_reader(void) {
  int fds[2];
  CHECK(pipe(fds) == 0);
  close(fds[0]);
  int n = (int)write(fds[1], "x", 1);
  say("write %d %s\n", n, n < 0 ? "failed" : "succeeded");
  close(fds[1]);
  CHECK(close(fds[1]) == -1 && errno == EBADF);
}

/* stdout onto a pipe: what the child prints, the parent reads. */
static void redirect(void) {
  int fds[2];
  CHECK(pipe(fds) == 0);
  pid_t pid = fork();
  if (pid == 0) {
    CHECK(dup2(fds[1], 1) == 1);
    close(fds[0]);
    close(fds[1]);
    say("printed by the child\n");
    _exit(failed_line);
  }
  close(fds[1]);
  char buf[64] = {0};
  int n = drain(fds[0], buf, sizeof buf - 1);
  say("got %d: %s", n, buf);
  say("status %d\n", child_status(pid));
}

/* The heap: sbrk grows it with zeros, fork copies it on write, shrinking
 * and growing again gives zeros. */
static void heap(void) {
  char *base = sbrk(0);
  CHECK(((unsigned long)base & 4095) == 0);
  char *old = sbrk(10000);
  CHECK(old == base);
  CHECK(sbrk(0) == base + 10000);
  CHECK(base[0] == 0 && base[9999] == 0);
  memcpy(base, "parent", 7);
  memcpy(base + 8192, "far", 4);
  pid_t pid = fork();
  if (pid == 0) {
    CHECK(strcmp(base, "parent") == 0);
    memcpy(base, "child", 6);
    sbrk(4096);
    _exit(strcmp(base, "child") == 0 ? failed_line : 99);
  }
  int status = child_status(pid);
  say("after the child: %s, break +%d, status %d\n", base, (int)((char *)sbrk(0) - base), status);
  CHECK(sbrk(-10000) == base + 10000);
  CHECK(sbrk(0) == base);
  CHECK(sbrk(8193) == base);
  say("grown again: %d %d\n", base[0], base[8192]);
  CHECK(sbrk(-8193) == base + 8193);
}

/* waitpid: WNOHANG before the child ends, then any child. */
static void waiting(void) {
  int fds[2];
  CHECK(pipe(fds) == 0);
  pid_t pid = fork();
  if (pid == 0) {
    char c;
    close(fds[1]);
    read(fds[0], &c, 1); /* until the parent says */
    _exit(5);
  }
  int status = 0;
  say("nohang %d\n", (int)waitpid(pid, &status, WNOHANG));
  close(fds[1]);
  pid_t got = waitpid(-1, &status, 0);
  say("any child %s, status %d\n", got == pid ? "is it" : "is another", status);
  errno = 0;
  say("no child left: %d %d\n", (int)waitpid(-1, &status, 0), errno != 0);
}

/* fstat and lseek on what a process starts with. */
static void describe(void) {
  struct stat st;
  int fds[2];
  CHECK(pipe(fds) == 0);
  CHECK(fstat(fds[0], &st) == 0);
  say("pipe fifo %d\n", S_ISFIFO(st.st_mode));
  CHECK(lseek(fds[0], 0, SEEK_CUR) == -1 && errno == ESPIPE);
  CHECK(fstat(9, &st) == -1 && errno == EBADF);
}

/* Two processes that wait for each other. */
static void deadlock(void) {
  int fds[2];
  CHECK(pipe(fds) == 0);
  pid_t pid = fork();
  if (pid == 0) {
    char c;
    read(fds[0], &c, 1); /* the parent never writes, and holds the write end */
    _exit(0);
  }
  child_status(pid);
}

/* Open files of the whole machine: twenty children each make pipes
 * until a limit stops them and hold them until the parent lets go; each
 * exits with the error that stopped it. */
static void enfile(void) {
  int hold[2], emfile = 0, enfile = 0;
  CHECK(pipe(hold) == 0);
  for (int i = 0; i < 20; ++i) {
    pid_t pid = fork();
    if (pid == 0) {
      for (int fd = 4; fd < 64; ++fd) close(fd);
      int fds[2], err;
      while (pipe(fds) == 0) continue;
      err = errno;
      char c;
      read(hold[0], &c, 1); /* until the parent closes its end */
      _exit(err);
    }
  }
  close(hold[1]);
  for (int i = 0; i < 20; ++i) {
    int status = 0;
    waitpid(-1, &status, 0);
    emfile += status == EMFILE;
    enfile += status == ENFILE;
  }
  say("EMFILE %d, ENFILE %d\n", emfile, enfile);
}

/* Copies standard input to standard output, then says how much. */
static void cat(void) {
  char buf[100];
  int total = 0, n;
  while ((n = (int)read(0, buf, sizeof buf)) > 0) {
    write(1, buf, (size_t)n);
    total += n;
  }
  say("%d bytes, last read %d\n", total, n);
}

/* The parent waits for console input while its child runs on. */
static void console_wait(void) {
  pid_t pid = fork();
  if (pid == 0) {
    say("child done\n");
    _exit(0);
  }
  char buf[16];
  int n = (int)read(0, buf, sizeof buf);
  say("parent read %d\n", n);
  child_status(pid);
}

/* The clock, and the end of the machine. */
static void clock_then_poweroff(void) {
  time_t secs = 0;
  unsigned long nsecs = 0;
  time_t got = __time(&secs, &nsecs);
  CHECK(got == secs);
  say("%d seconds\n", (int)secs);
  reboot(RB_POWEROFF);
}

int main(int argc, char **argv) {
  static const struct {
    const char *name;
    void (*run)(void);
  } scenarios[] = {
      {"pingpong", pingpong}, {"bulk", bulk},       {"no_reader", no_reader},       {"redirect", redirect},
      {"heap", heap},         {"waiting", waiting}, {"describe", describe},         {"deadlock", deadlock},
      {"cat", cat},           {"enfile", enfile},   {"console_wait", console_wait}, {"poweroff", clock_then_poweroff}};
  if (argc < 2) return 100;
  for (unsigned i = 0; i < sizeof scenarios / sizeof scenarios[0]; ++i) {
    if (strcmp(argv[1], scenarios[i].name) != 0) continue;
    scenarios[i].run();
    return failed_line;
  }
  return 101;
}
