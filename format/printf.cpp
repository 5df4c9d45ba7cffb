#include <stdio.h>

#include "r3k/runtime.h"

// C linkage (still file-local) keeps these routines' symbols plain.
extern "C" {

// Unbuffered: one putchar, so one write, per character; empty runs cost
// nothing.  Failures are not reported: the count is what was generated.
static void __printf_send(void *, const char *chars, size_t count) {
  for (size_t i = 0; i < count; ++i) putchar(static_cast<signed char>(chars[i]));
}

}  // extern "C"

int vprintf(const char *fmt, va_list ap) { return __vprintf(__printf_send, nullptr, fmt, ap); }

int printf(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  const int len = vprintf(fmt, ap);
  va_end(ap);
  return len;
}
