#include <stdio.h>

#include "r3k/runtime.h"

namespace {

struct snprintf_target {
  char *dest;
  unsigned limit;  // size - 1, or 0 for size 0
  unsigned used;   // never exceeds limit
};

}  // namespace

// C linkage (still file-local) keeps the sink's symbol plain.
extern "C" {

static void __snprintf_send(void *arg, const char *chars, size_t count) {
  auto *t = static_cast<snprintf_target *>(arg);
  // Walk the whole run (an empty one does nothing); what does not fit is
  // dropped, keeping the start.
  if (count == 0) return;
  char *const dest = t->dest;
  const unsigned limit = t->limit;
  unsigned used = t->used;
  const char *const end = chars + count;
  do {
    if (used < limit) dest[used++] = *chars;
  } while (++chars != end);
  t->used = used;
}

}  // extern "C"

int vsnprintf(char *buf, size_t size, const char *fmt, va_list ap) {
  snprintf_target t = {buf, size != 0 ? static_cast<unsigned>(size - 1) : 0u, 0u};
  const int len = __vprintf(__snprintf_send, &t, fmt, ap);
  if (size != 0) buf[t.used] = '\0';  // size 0: the buffer is never touched
  return len;
}

int snprintf(char *buf, size_t size, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  const int len = vsnprintf(buf, size, fmt, ap);
  va_end(ap);
  return len;
}
