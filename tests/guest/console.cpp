// Guest for the console-output tests: the host calls printf, vprintf and
// putchar by symbol; vprintf needs a started argument list, so a variadic
// wrapper hands it one.
#include <stdarg.h>
#include <stdio.h>

extern "C" {

int via_vprintf(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = vprintf(fmt, ap);
  va_end(ap);
  return n;
}

// Referenced from main so that section garbage collection keeps them.
const void *const keep_linked[] = {(const void *)printf, (const void *)putchar, (const void *)via_vprintf};
}

int main(int argc, char **) { return ((const void *const volatile *)keep_linked)[argc - 1] == 0; }
