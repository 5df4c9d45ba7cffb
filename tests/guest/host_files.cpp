// Aims every call that could touch a host file at real host paths:
// argv[1] an existing file, argv[2] a new name in the same directory,
// argv[3] a new directory name.  r3krun runs it without --root, so the
// guest's tree is empty and read-only: each call on a name must find
// nothing (ENOENT) or be refused (EIO), and each call on descriptor 3
// (which r3krun itself may hold open) fail with EBADF: the guest's
// descriptors are its own.  Writes "ok\n" to fd 1 and exits 0 if all did,
// else exits with the 1-based number of the first call that did not.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

namespace {
int calls = 0, first_bad = 0;
void expect(int result, int error) {
  ++calls;
  if ((result != -1 || errno != error) && first_bad == 0) first_bad = calls;
  errno = 0;
}
}  // namespace

int main(int argc, char **argv) {
  if (argc < 4) return 100;
  const char *file = argv[1], *fresh = argv[2], *dir = argv[3];
  char buf[64];
  char *const args[] = {const_cast<char *>(file), nullptr};
  auto *st = reinterpret_cast<struct stat *>(buf);
  expect(open(file, O_RDWR | O_CREAT | O_TRUNC), EIO);
  expect(open(fresh, O_WRONLY | O_CREAT | O_TRUNC, 0666), EIO);
  expect(remove(file), EIO);
  expect(rename(file, fresh), EIO);
  expect(link(file, fresh), EIO);
  expect(symlink(file, fresh), EIO);
  expect(mkdir(dir, 0777), EIO);
  expect(rmdir(dir), EIO);
  expect(chdir(dir), ENOENT);
  expect(ftruncate(3, 0), EBADF);
  expect(read(3, buf, sizeof buf), EBADF);
  expect(fstat(3, st), EBADF);
  expect(lseek(3, 0, 0), EBADF);
  expect(fsync(3), EBADF);
  expect(close(3), EBADF);
  expect(dup2(3, 4), EBADF);
  expect(readlink(file, buf, sizeof buf), ENOENT);
  // The empty tree's root is the only directory there is.
  ++calls;
  if ((__getcwd(buf, sizeof buf) != 1 || strcmp(buf, "/") != 0) && first_bad == 0) first_bad = calls;
  expect(stat(file, st), ENOENT);
  expect(lstat(file, st), ENOENT);
  expect(execv(file, args), ENOENT);
  expect(write(0, "x", 1), EBADF);
  expect(write(3, "x", 1), EBADF);
  if (first_bad != 0) return first_bad;
  write(1, "ok\n", 3);
  return 0;
}
