#include <stdint.h>
#include <string.h>

#include "mem_words.h"

R3K_NO_LIBCALL void *memmove(void *dst, const void *src, size_t n) {
  auto *d = static_cast<unsigned char *>(dst);
  const auto *s = static_cast<const unsigned char *>(src);
  // Copy away from the overlap: upwards when the destination starts below
  // the source, downwards when it starts above.
  if (reinterpret_cast<uintptr_t>(d) <= reinterpret_cast<uintptr_t>(s)) r3k_mem::copy_up(d, s, n);
  else r3k_mem::copy_down(d, s, n);
  return dst;
}
