/* The suite's programs under Linux (qemu-mips): bench/target/start_linux.S
 * enters here, and the library's printf and putchar write through the
 * Linux call instead of this system's kernel call (write and _exit are the
 * only kernel calls the library's printf reaches, so its stubs stay out).  Everything else the
 * program runs is the library's and the compiler runtime's own code, as
 * on r3krun. */
#include <errno.h>
#include <unistd.h>

long linux_write(int fd, const void *buf, unsigned long len);
void linux_exit(int status) __attribute__((noreturn));
int main(void);

int linux_main(void) { return main(); }

ssize_t write(int fd, const void *buf, size_t len) {
  const long n = linux_write(fd, buf, len);
  if (n < 0) {
    errno = (int)-n;
    return -1;
  }
  return n;
}

void _exit(int status) { linux_exit(status); }
