// Descriptors and files: open's flags, read/write/lseek with 64-bit
// offsets, end of file, holes, dup2 and offsets shared across fork,
// close, fstat, ftruncate, fsync, the lowest free descriptor, EMFILE.
#include <fcntl.h>
#include <r3k/values/limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "check.h"

using kit::exit_of;
using kit::expect_eq;
using kit::expect_eq64;
using kit::expect_err;
using kit::expect_ok;

namespace {

kit::Scratch tmp;

int lowest_free() {
  struct stat st;
  for (int fd = 0; fd < OPEN_MAX; ++fd)
    if (fstat(fd, &st) == -1) return fd;
  return -1;
}

void open_flags() {
  const char* f = tmp.at("f");
  const int low = lowest_free();
  const int fd = open(f, O_RDWR | O_CREAT | O_EXCL, 0640);
  expect_eq("open-creat-lowest-descriptor", fd, low);
  expect_eq("write-file", write(fd, "hello world", 11), 11);
  close(fd);
  expect_err("open-excl-exists", open(f, O_RDWR | O_CREAT | O_EXCL, 0640), EEXIST);
  expect_err("open-missing", open(tmp.at("missing"), O_RDONLY), ENOENT);
  expect_err("open-missing-dir-component", open(tmp.at("missing/f"), O_RDONLY | O_CREAT, 0600), ENOENT);
  expect_err("open-file-as-directory", open(tmp.at("f/x"), O_RDONLY), ENOTDIR);
  expect_err("open-directory-for-writing", open(tmp.dir, O_WRONLY), EISDIR);

  int rd = open(f, O_RDONLY);
  char buf[32] = {};
  expect_eq("read-file", read(rd, buf, sizeof buf), 11);
  kit::check("read-file-bytes", memcmp(buf, "hello world", 11) == 0, "hello world", buf);
  memset(buf, 0x5a, sizeof buf);
  expect_eq("read-at-eof", read(rd, buf, sizeof buf), 0);
  expect_eq("read-at-eof-stores-nothing", buf[0], 0x5a);
  expect_err("write-read-only", write(rd, "x", 1), EBADF);
  close(rd);
  int wr = open(f, O_WRONLY);
  expect_err("read-write-only", read(wr, buf, 1), EBADF);
  close(wr);

  wr = open(f, O_WRONLY | O_APPEND);
  lseek(wr, 0, SEEK_SET);
  write(wr, "!", 1);
  expect_eq64("append-writes-at-end", lseek(wr, 0, SEEK_CUR), 12);
  close(wr);
  struct stat st;
  stat(f, &st);
  expect_eq64("append-size", st.st_size, 12);

  wr = open(f, O_WRONLY | O_TRUNC);
  fstat(wr, &st);
  expect_eq64("open-trunc-empties", st.st_size, 0);
  close(wr);
}

void seeking() {
  const char* f = tmp.at("seek");
  const int fd = open(f, O_RDWR | O_CREAT | O_TRUNC, 0600);
  if (!expect_ok("seek-open", fd)) return;
  write(fd, "0123456789", 10);
  expect_eq64("lseek-set", lseek(fd, 3, SEEK_SET), 3);
  char c = 0;
  read(fd, &c, 1);
  expect_eq("lseek-set-reads-there", c, '3');
  expect_eq64("lseek-cur", lseek(fd, 2, SEEK_CUR), 6);
  expect_eq64("lseek-end", lseek(fd, -1, SEEK_END), 9);
  expect_err("lseek-negative", lseek(fd, -20, SEEK_SET), EINVAL);
  expect_err("lseek-bad-whence", lseek(fd, 0, 3), EINVAL);
  expect_eq64("lseek-failed-keeps-offset", lseek(fd, 0, SEEK_CUR), 9);
  const off_t far = 0x100000000ll + 5;
  expect_eq64("lseek-64-bit", lseek(fd, far, SEEK_SET), far);
  expect_eq64("lseek-64-bit-kept", lseek(fd, 0, SEEK_CUR), far);
  expect_eq("read-past-end", read(fd, &c, 1), 0);
  // A hole reads as zeros.
  lseek(fd, 20, SEEK_SET);
  write(fd, "Z", 1);
  char hole[12];
  memset(hole, 1, sizeof hole);
  lseek(fd, 9, SEEK_SET);
  expect_eq("read-over-hole", read(fd, hole, 12), 12);
  static const char want[12] = {'9', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'Z'};
  kit::expect_bytes("hole-reads-zeros", hole, want, 12);
  close(fd);
}

// One open file, one offset: dup2 and fork share it.
void sharing() {
  const char* f = tmp.at("share");
  const int fd = open(f, O_RDWR | O_CREAT | O_TRUNC, 0600);
  if (!expect_ok("share-open", fd)) return;
  write(fd, "abcdefgh", 8);
  lseek(fd, 0, SEEK_SET);
  const int other = 40;
  expect_eq("dup2-returns-target", dup2(fd, other), other);
  char c = 0;
  read(other, &c, 1);
  expect_eq64("dup2-shares-offset", lseek(fd, 0, SEEK_CUR), 1);
  expect_eq("dup2-same-descriptor", dup2(fd, fd), fd);
  const int pid = fork();
  if (pid == 0) {
    char two[2];
    kit::end(read(fd, two, 2) == 2 && two[0] == 'b' ? 0 : 1);
  }
  int s = -1;
  kit::wait_for(pid, &s, 3000);
  expect_eq("fork-inherits-descriptor", exit_of(s), 0);
  expect_eq64("fork-shares-offset", lseek(fd, 0, SEEK_CUR), 3);
  close(fd);
  expect_eq("read-after-other-closed", read(other, &c, 1), 1);
  expect_eq("close-open", close(other), 0);
  expect_err("close-twice", close(other), EBADF);
  // dup2 onto an open descriptor closes what it held.
  const int a = open(f, O_RDONLY), b = open(f, O_RDONLY);
  lseek(b, 4, SEEK_SET);
  dup2(a, b);
  expect_eq64("dup2-replaces-target", lseek(b, 0, SEEK_CUR), 0);
  close(a);
  close(b);
}

void metadata() {
  const char* f = tmp.at("meta");
  const int fd = open(f, O_RDWR | O_CREAT | O_TRUNC, 0640);
  if (!expect_ok("meta-open", fd)) return;
  write(fd, "12345", 5);
  struct stat st;
  memset(&st, 0, sizeof st);
  expect_eq("fstat-file", fstat(fd, &st), 0);
  kit::check("fstat-regular", S_ISREG(st.st_mode), "S_IFREG", "another type");
  expect_eq("fstat-permissions", st.st_mode & 0777, 0640);
  expect_eq64("fstat-size", st.st_size, 5);
  expect_eq("fstat-one-link", st.st_nlink, 1);
  expect_eq("ftruncate-shrink", ftruncate(fd, 2), 0);
  fstat(fd, &st);
  expect_eq64("ftruncate-shrink-size", st.st_size, 2);
  expect_eq("ftruncate-grow", ftruncate(fd, 8), 0);
  char buf[8];
  memset(buf, 7, sizeof buf);
  lseek(fd, 0, SEEK_SET);
  read(fd, buf, 8);
  static const char want[8] = {'1', '2', 0, 0, 0, 0, 0, 0};
  kit::expect_bytes("ftruncate-grows-zeros", buf, want, 8);
  expect_err("ftruncate-negative", ftruncate(fd, -1), EINVAL);
  expect_eq("fsync-file", fsync(fd), 0);
  errno = 0;
  sync();  // returns nothing: a failure shows only in errno
  expect_eq("sync", errno, 0);
  close(fd);
  const int rd = open(f, O_RDONLY);
  expect_err("ftruncate-read-only", ftruncate(rd, 0), EINVAL);
  close(rd);
  const int dir = open(tmp.dir, O_RDONLY);
  expect_err("read-directory", read(dir, buf, 8), EISDIR);
  close(dir);
}

void descriptor_limit() {
  const char* f = tmp.at("meta");
  int opened = 0, last = 0, fds[OPEN_MAX];
  while (opened < OPEN_MAX && (last = open(f, O_RDONLY)) != -1) fds[opened++] = last;
  expect_err("open-emfile", last, EMFILE);
  for (int i = 0; i < opened; ++i) close(fds[i]);
  expect_eq("descriptors-free-again", lowest_free(), opened ? fds[0] : -2);
}

void cleanup() {
  static const char* const names[] = {"f", "seek", "share", "meta"};
  int removed = 0;
  for (const char* n : names) removed += remove(tmp.at(n)) == 0;
  expect_eq("cleanup-files", removed, 4);
  expect_eq("cleanup-directory", rmdir(tmp.dir), 0);
}

}  // namespace

int main() {
  if (!expect_eq("scratch-directory", tmp.make("files") ? 0 : -1, 0)) return kit::done();
  open_flags();
  seeking();
  sharing();
  metadata();
  descriptor_limit();
  cleanup();
  return kit::done();
}
