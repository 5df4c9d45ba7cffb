// Pipes: order, blocking, end of file, a full pipe, many writers, a
// write with no reader, and what a pipe's descriptors refuse.
#include <r3k/values/limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "check.h"

using kit::exit_of;
using kit::expect_eq;
using kit::expect_err;
using kit::expect_ok;
using kit::spin;

namespace {

int lowest_free() {
  struct stat st;
  for (int fd = 0; fd < OPEN_MAX; ++fd)
    if (fstat(fd, &st) == -1) return fd;
  return -1;
}

// One check: the child ends, in time, with exit status 0 (hung says what
// a child that did not end was doing).
bool child_ok(const char* name, int pid, const char* hung) {
  int s = 0;
  const int r = kit::wait_for(pid, &s, 3000);
  if (r != pid) return kit::check(name, false, "the child to end", r == 0 ? hung : "waitpid failed");
  return expect_eq(name, exit_of(s), 0);
}

void basics() {
  int fds[2] = {-1, -1};
  const int low = lowest_free();
  expect_eq("pipe-returns-0", pipe(fds), 0);
  expect_eq("pipe-lowest-descriptors", fds[0], low);
  kit::check("pipe-two-descriptors", fds[1] != fds[0] && fds[1] >= 0, "two descriptors", "one or none");
  expect_eq("pipe-write", write(fds[1], "hello", 5), 5);
  expect_eq("pipe-write-more", write(fds[1], " you", 4), 4);
  char buf[16] = {};
  expect_eq("pipe-read-all", read(fds[0], buf, sizeof buf), 9);
  kit::check("pipe-bytes-in-order", memcmp(buf, "hello you", 9) == 0, "hello you", buf);
  expect_eq("pipe-read-zero-length", read(fds[0], buf, 0), 0);
  struct stat st;
  st.st_mode = 0;
  expect_eq("pipe-fstat", fstat(fds[0], &st), 0);
  kit::check("pipe-fstat-fifo", S_ISFIFO(st.st_mode), "S_IFIFO", "another type");
  expect_err("pipe-lseek", lseek(fds[0], 0, SEEK_SET), ESPIPE);
  expect_err("pipe-read-write-end", read(fds[1], buf, 1), EBADF);
  expect_err("pipe-write-read-end", write(fds[0], "x", 1), EBADF);
  write(fds[1], "ab", 2);
  close(fds[1]);
  // End of file is checked in a child (blocking()): a kernel that never
  // gives it would hang this process.
  expect_eq("pipe-read-after-writer-closed", read(fds[0], buf, sizeof buf), 2);
  close(fds[0]);
  if (!expect_ok("pipe-again", pipe(fds))) return;
  close(fds[0]);
  expect_err("pipe-write-no-reader", write(fds[1], "x", 1), EIO);
  close(fds[1]);
}

// A reader blocks on an empty pipe until a writer writes; a reader whose
// writers all ended sees end of file.
void blocking() {
  int fds[2];
  if (!expect_ok("pipe-block-pipe", pipe(fds))) return;
  int pid = fork();
  if (pid == 0) {
    close(fds[1]);
    char c = 0;
    const int n = read(fds[0], &c, 1);
    kit::end(n == 1 && c == 'w' ? 0 : 1);
  }
  spin(200000);
  write(fds[1], "w", 1);
  child_ok("pipe-reader-blocks-then-reads", pid, "a hung reader");

  pid = fork();
  if (pid == 0) {
    close(fds[1]);
    char buf[8];
    int n, total = 0;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) total += n;
    kit::end(n == 0 && total == 3 ? 0 : 1);
  }
  close(fds[0]);
  write(fds[1], "end", 3);
  close(fds[1]);
  child_ok("pipe-eof-when-writers-gone", pid, "a read that never ends");
}

// Three pipes' worth through one pipe: the writer waits for room.
void full_pipe() {
  int fds[2];
  if (!expect_ok("pipe-full-pipe", pipe(fds))) return;
  enum { kTotal = 3 * PIPE_BUF + 100 };
  const int pid = fork();
  if (pid == 0) {
    close(fds[0]);
    static unsigned char out[kTotal];
    for (int i = 0; i < kTotal; ++i) out[i] = static_cast<unsigned char>(i * 7 + i / 251);
    kit::end(write(fds[1], out, kTotal) == kTotal ? 0 : 1);
  }
  close(fds[1]);
  static unsigned char in[kTotal];
  int got = 0, n;
  spin(100000);  // let the writer fill the pipe first
  while (got < kTotal && (n = read(fds[0], in + got, kTotal - got)) > 0) got += n;
  expect_eq("pipe-full-all-bytes", got, kTotal);
  int bad = 0;
  while (bad < got && in[bad] == static_cast<unsigned char>(bad * 7 + bad / 251)) ++bad;
  expect_eq("pipe-full-bytes-in-order", bad, got);
  child_ok("pipe-full-writer-done", pid, "a writer still waiting");
  close(fds[0]);
}

// Five writers, 200 records each of 8 bytes: every record whole, none lost.
void many_writers() {
  int fds[2];
  if (!expect_ok("pipe-writers-pipe", pipe(fds))) return;
  enum { kWriters = 5, kRecords = 200 };
  int pids[kWriters];
  for (int w = 0; w < kWriters; ++w) {
    pids[w] = fork();
    if (pids[w] == 0) {
      close(fds[0]);
      for (int r = 0; r < kRecords; ++r) {
        char rec[8];
        snprintf(rec, sizeof rec, "%c%05d", 'A' + w, r);
        rec[6] = rec[7] = '.';
        if (write(fds[1], rec, 8) != 8) kit::end(1);
      }
      kit::end(0);
    }
  }
  close(fds[1]);
  int count[kWriters] = {}, next[kWriters] = {}, torn = 0, total = 0;
  char buf[8 * 32];
  int have = 0, n;
  // Read the known count, not to end of file (checked on its own).
  while (total + torn < kWriters * kRecords && (n = read(fds[0], buf + have, sizeof buf - have)) > 0) {
    have += n;
    int used = 0;
    for (; have - used >= 8; used += 8) {
      const char* rec = buf + used;
      const int w = rec[0] - 'A';
      int r = 0;
      for (int i = 1; i < 6; ++i) r = r * 10 + (rec[i] - '0');
      if (w < 0 || w >= kWriters || rec[6] != '.' || rec[7] != '.' || r != next[w]) {
        ++torn;
        continue;
      }
      ++next[w], ++count[w], ++total;
    }
    memmove(buf, buf + used, have - used);
    have -= used;
  }
  expect_eq("pipe-writers-all-records", total, kWriters * kRecords);
  expect_eq("pipe-writers-records-whole", torn, 0);
  int ended = 0;
  for (int w = 0; w < kWriters; ++w) {
    int s = -1;
    ended += kit::wait_for(pids[w], &s, 3000) == pids[w] && exit_of(s) == 0;
  }
  expect_eq("pipe-writers-end", ended, kWriters);
  close(fds[0]);
}

// The pipe's ends are shared with a child: fork must hand them on.
void inherited() {
  int fds[2];
  if (!expect_ok("pipe-inherit-pipe", pipe(fds))) return;
  const int pid = fork();
  if (pid == 0) kit::end(write(fds[1], "kid", 3) == 3 ? 0 : 1);
  char buf[4] = {};
  const bool wrote = child_ok("pipe-inherited-by-child", pid, "a hung child");
  close(fds[1]);
  expect_eq("pipe-child-bytes", read(fds[0], buf, 3), wrote ? 3 : 0);
  close(fds[0]);
}

}  // namespace

int main() {
  basics();
  blocking();
  full_pipe();
  many_writers();
  inherited();
  return kit::done();
}
