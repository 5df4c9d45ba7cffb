#include <string.h>

#include "mem_words.h"

R3K_NO_LIBCALL void *memset(void *dst, int c, size_t n) {
  using r3k_mem::word;
  auto *d = static_cast<unsigned char *>(dst);
  const auto byte = static_cast<unsigned char>(c);
  if (n >= r3k_mem::kWordMin) {
    for (; !r3k_mem::aligned(d); --n) *d++ = byte;
    const uint32_t w = byte * 0x01010101u;
    for (unsigned char *end = d + (n & ~size_t{15}); d != end; d += 16) {
      word *p = reinterpret_cast<word *>(d);
      p[0] = w, p[1] = w, p[2] = w, p[3] = w;
    }
    for (unsigned char *end = d + (n & 12); d != end; d += 4) *reinterpret_cast<word *>(d) = w;
    n &= 3;
  }
  for (; n != 0; --n) *d++ = byte;
  return dst;
}
