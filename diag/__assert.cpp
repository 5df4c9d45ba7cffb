#include <assert.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

void __bad_assert(const char *file, int line, const char *expr) {
  // Built in a fixed stack buffer and written at once: no heap, one write.
  // A longer message is cut to 255 bytes (losing its newline).
  char buf[256];
  snprintf(buf, sizeof buf, "Assertion failed: %s (%s line %d)\n", expr, file, line);
  write(STDERR_FILENO, buf, strlen(buf));
  abort();
}
