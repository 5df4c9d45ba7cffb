// Bad arguments: descriptors that are not open give EBADF, pointers the
// process cannot use give EFAULT and change nothing, other nonsense gives
// its error, and the kernel goes on serving the process afterwards.
#include <fcntl.h>
#include <r3k/values/limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "check.h"

using kit::expect_eq;
using kit::expect_err;

namespace {

// Never mapped: the first page, and the kernel's half of the address space.
char* const kLow = reinterpret_cast<char*>(4);
char* const kKernel = reinterpret_cast<char*>(0x80001000);

void bad_descriptors() {
  char buf[8];
  struct stat st;
  const int unopened = OPEN_MAX - 1;
  expect_err("read-ebadf", read(unopened, buf, 1), EBADF);
  expect_err("read-negative-fd", read(-1, buf, 1), EBADF);
  expect_err("write-ebadf", write(unopened, "x", 1), EBADF);
  expect_err("write-fd-past-limit", write(OPEN_MAX, "x", 1), EBADF);
  expect_err("close-ebadf", close(unopened), EBADF);
  expect_err("close-negative-fd", close(-7), EBADF);
  expect_err("dup2-from-ebadf", dup2(unopened, 20), EBADF);
  expect_err("dup2-to-past-limit", dup2(1, OPEN_MAX), EBADF);
  expect_err("fstat-ebadf", fstat(unopened, &st), EBADF);
  expect_err("lseek-ebadf", lseek(unopened, 0, SEEK_SET), EBADF);
  expect_err("fsync-ebadf", fsync(unopened), EBADF);
  expect_err("ftruncate-ebadf", ftruncate(unopened, 0), EBADF);
  expect_err("ioctl-ebadf", ioctl(unopened, 1, buf), EBADF);
  expect_err("getdirentry-ebadf", getdirentry(unopened, buf, sizeof buf), EBADF);
  expect_err("ioctl-no-device", ioctl(2, 1, buf), EIOCTL);
}

void bad_pointers() {
  int fds[2];
  if (pipe(fds) == -1) return;
  expect_err("write-efault", write(fds[1], kLow, 4), EFAULT);
  expect_err("write-kernel-address", write(fds[1], kKernel, 4), EFAULT);
  write(fds[1], "data", 4);
  expect_err("read-efault", read(fds[0], kLow, 4), EFAULT);
  expect_err("read-kernel-address", read(fds[0], kKernel, 4), EFAULT);
  write(fds[1], "tail", 4);  // a read that took "data" still finds these
  char buf[8] = {};
  expect_eq("read-efault-takes-nothing", read(fds[0], buf, sizeof buf), 8);
  // A buffer that starts fine and runs off the end of the heap.
  char* const top = static_cast<char*>(sbrk(0));
  if (reinterpret_cast<unsigned long>(top) % 4096 == 0) {
    write(fds[1], "0123456789", 10);
    expect_err("read-buffer-runs-off-heap", read(fds[0], top - 4, 10), EFAULT);
    expect_err("write-buffer-runs-off-heap", write(fds[1], top - 4, 10), EFAULT);
  }
  close(fds[0]);
  close(fds[1]);
  expect_err("pipe-efault", pipe(reinterpret_cast<int*>(kLow)), EFAULT);
  expect_err("fstat-efault", fstat(1, reinterpret_cast<struct stat*>(kLow)), EFAULT);
  expect_err("time-efault", __time(reinterpret_cast<time_t*>(kKernel), nullptr), EFAULT);
  expect_err("getcwd-efault", __getcwd(kLow, 64), EFAULT);
  const int pid = fork();
  if (pid == 0) kit::end(0);
  expect_err("waitpid-status-efault", waitpid(pid, reinterpret_cast<int*>(kLow), 0), EFAULT);
  kit::wait_for(pid, nullptr, 3000);
}

void bad_paths() {
  struct stat st;
  expect_err("open-efault", open(kLow, O_RDONLY), EFAULT);
  expect_err("stat-efault", stat(kLow, &st), EFAULT);
  expect_err("stat-buffer-efault", stat("/", reinterpret_cast<struct stat*>(kLow)), EFAULT);
  expect_err("mkdir-efault", mkdir(kKernel, 0755), EFAULT);
  expect_err("chdir-efault", chdir(kLow), EFAULT);
  expect_err("remove-efault", remove(kLow), EFAULT);
  expect_err("rename-efault", rename(kLow, "x"), EFAULT);
  static char longpath[PATH_MAX + 8];
  memset(longpath, 'a', sizeof longpath - 1);
  expect_err("open-path-too-long", open(longpath, O_RDONLY), ENAMETOOLONG);
  expect_err("open-empty-path", open("", O_RDONLY), ENOENT);
  expect_err("open-bad-flags", open("/", 0x4000), EINVAL);
}

}  // namespace

int main() {
  bad_descriptors();
  bad_pointers();
  bad_paths();
  // After all that the kernel still serves this process.
  char buf[8];
  const int n = snprintf(buf, sizeof buf, "%d", getpid());
  expect_eq("kernel-survives-write", write(1, "", 0), 0);
  kit::check("kernel-survives-getpid", n > 0 && getpid() > 0, "a pid", "none");
  expect_err("reboot-bad-code", reboot(77), EINVAL);
  return kit::done();
}
