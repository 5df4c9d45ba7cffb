// Forks; the child writes "child\n" and exits with argv[1] (default 7); the parent waits and writes "status N\n".
#include <stdlib.h>
#include <unistd.h>

namespace {
void put_number(int fd, int v) {
  char buf[16];
  int at = 16;
  unsigned u = v < 0 ? 0u - static_cast<unsigned>(v) : static_cast<unsigned>(v);
  do buf[--at] = static_cast<char>('0' + u % 10);
  while ((u /= 10) != 0);
  if (v < 0) buf[--at] = '-';
  write(fd, buf + at, 16 - at);
}
int parse(const char *s) {
  int sign = 1, v = 0;
  if (*s == '-') {
    sign = -1;
    ++s;
  }
  while (*s >= '0' && *s <= '9') v = v * 10 + (*s++ - '0');
  return sign * v;
}
}  // namespace

int main(int argc, char **argv) {
  const int code = argc > 1 ? parse(argv[1]) : 7;
  const pid_t pid = fork();
  if (pid < 0) return 100;
  if (pid == 0) {
    write(1, "child\n", 6);
    exit(code);
  }
  int status = -12345;
  if (waitpid(pid, &status, 0) != pid) return 101;
  write(1, "status ", 7);
  put_number(1, status);
  write(1, "\n", 1);
  return 0;
}
