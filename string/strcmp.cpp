#include <string.h>

int strcmp(const char *a, const char *b) {
  // Stop where a ends or the strings differ, so neither is read past its
  // terminator; bytes compare as signed values and the result is -1/0/1.
  while (*a != '\0' && *a == *b) {
    ++a;
    ++b;
  }
  const signed char x = static_cast<signed char>(*a);
  const signed char y = static_cast<signed char>(*b);
  return x > y ? 1 : (x < y ? -1 : 0);
}
