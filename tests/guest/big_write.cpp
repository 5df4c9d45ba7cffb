// Writes to fd 1 with lengths far beyond the memory the process has
// (a bug a real program could have); every write must fail with EFAULT and
// write nothing.  Writes "ok\n" to fd 2 and exits 0 if they all did; else
// exits with the 1-based number of the first write that did not.
#include <errno.h>
#include <unistd.h>

namespace {
char data[64] = "global";
int calls = 0, first_bad = 0;

void expect_efault(const void *buf, unsigned len) {
  ++calls;
  errno = 0;
  if ((write(1, buf, len) != -1 || errno != EFAULT) && first_bad == 0) first_bad = calls;
}
}  // namespace

int main() {
  volatile char local[16];
  local[0] = 'l';
  const void *stack = const_cast<const char *>(local);
  expect_efault(stack, 0xffffffffu);  // wraps past the top of memory
  expect_efault(stack, 0x7fffffffu);
  expect_efault(data, 0x40000000u);  // 1 GiB from mapped data into unmapped space
  expect_efault(data, 0x7fffffffu);
  expect_efault(data, 0x80000000u);  // reaches the top of user space exactly
  expect_efault(nullptr, 0xfffffff0u);
  if (first_bad != 0) return first_bad;
  write(2, "ok\n", 3);
  return 0;
}
