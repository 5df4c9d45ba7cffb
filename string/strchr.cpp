#include <string.h>

char *strchr(const char *s, int ch) {
  // ch is compared whole against each byte's signed value: callers holding
  // a byte pass its signed value, and 256 must not match the terminator.
  for (;; ++s) {
    const int c = static_cast<signed char>(*s);
    if (c == ch) return const_cast<char *>(s);
    if (c == 0) return nullptr;
  }
}
