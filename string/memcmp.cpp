#include <string.h>

#include "mem_words.h"

namespace {

// Big-endian: comparing whole words as unsigned numbers orders them as
// their byte strings.
R3K_MEM_INLINE int order(uint32_t x, uint32_t y) { return x < y ? -1 : 1; }

// The whole words of n, a word-aligned: the order of the first unequal
// pair, or 0 with a, b and n moved past them all.
template <bool BAligned>
R3K_MEM_INLINE int compare_words(const unsigned char *&a, const unsigned char *&b, size_t &n) {
  for (const unsigned char *end = a + (n & ~size_t{3}); a != end; a += 4, b += 4) {
    const uint32_t x = r3k_mem::load<true>(a), y = r3k_mem::load<BAligned>(b);
    if (x != y) return order(x, y);
  }
  n &= 3;
  return 0;
}

}  // namespace

R3K_NO_LIBCALL int memcmp(const void *p, const void *q, size_t n) {
  const auto *a = static_cast<const unsigned char *>(p);
  const auto *b = static_cast<const unsigned char *>(q);
  if (n >= r3k_mem::kWordMin) {
    for (; !r3k_mem::aligned(a); ++a, ++b, --n)
      if (*a != *b) return order(*a, *b);
    if (int r = r3k_mem::aligned(b) ? compare_words<true>(a, b, n) : compare_words<false>(a, b, n)) return r;
  }
  for (; n != 0; ++a, ++b, --n)
    if (*a != *b) return order(*a, *b);
  return 0;
}
