/* File and pipe throughput for bench/files_bench: the same source built
 * with this library for r3krun and with the cross C library for
 * qemu-mips.
 *   files copy SRC DST   copies SRC to DST through 4 KiB reads and writes
 *   files pipe MIB       a child writes MIB MiB into a pipe in 4 KiB
 *                        writes, the parent reads it to the end
 * Each prints one line (bytes moved and a checksum) for the two machines
 * to agree on, and exits 0 when every call succeeded. */
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

enum { kChunk = 4096 };

/* A checksum of the bytes at every 64th position of the stream, whatever
 * pieces the reads return: at offset at, n bytes. */
static unsigned sum(unsigned acc, unsigned long at, const unsigned char *p, int n) {
  for (int i = (int)((64 - at % 64) % 64); i < n; i += 64) acc = acc * 31 + p[i];
  return acc;
}

static int number(const char *s) {
  int v = 0;
  while (*s >= '0' && *s <= '9') v = v * 10 + (*s++ - '0');
  return v;
}

static int copy(const char *from, const char *to) {
  static unsigned char buf[kChunk];
  int in = open(from, O_RDONLY, 0);
  int out = open(to, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in < 0 || out < 0) return 2;
  unsigned long total = 0;
  unsigned check = 0;
  for (;;) {
    int n = (int)read(in, buf, kChunk);
    if (n < 0) return 3;
    if (n == 0) break;
    if (write(out, buf, (size_t)n) != n) return 4;
    check = sum(check, total, buf, n);
    total += n;
  }
  if (close(in) != 0 || close(out) != 0) return 5;
  printf("copied %lu bytes, check %08x\n", total, check);
  return 0;
}

static int through_pipe(int mib) {
  static unsigned char buf[kChunk];
  int fds[2];
  if (pipe(fds) != 0) return 2;
  pid_t pid = fork();
  if (pid < 0) return 3;
  if (pid == 0) {
    close(fds[0]);
    for (int i = 0; i < kChunk; ++i) buf[i] = (unsigned char)(i * 7 + 1);
    for (long i = 0; i < (long)mib * 256; ++i) {
      buf[0] = (unsigned char)i;
      if (write(fds[1], buf, kChunk) != kChunk) _exit(1);
    }
    _exit(0);
  }
  close(fds[1]);
  unsigned long total = 0;
  unsigned check = 0;
  for (int n; (n = (int)read(fds[0], buf, kChunk)) != 0;) {
    if (n < 0) return 4;
    check = sum(check, total, buf, n);
    total += n;
  }
  int status = -1;
  if (waitpid(pid, &status, 0) != pid || status != 0) return 5;
  printf("piped %lu bytes, check %08x\n", total, check);
  return 0;
}

int main(int argc, char **argv) {
  if (argc == 4 && strcmp(argv[1], "copy") == 0) return copy(argv[2], argv[3]);
  if (argc == 3 && strcmp(argv[1], "pipe") == 0) return through_pipe(number(argv[2]));
  return 1;
}
