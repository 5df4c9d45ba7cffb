// Word-at-a-time internals of memcpy, memmove, memset and memcmp.
//
// MIPS-I loads and stores a word only at an aligned address; an unaligned
// word is fetched with the lwl/lwr pair, which the compiler emits for a
// packed access.  Every routine first aligns the destination (for memcmp,
// the first operand) with single bytes, then moves 16 bytes, then 4 bytes
// at a time, and finishes with single bytes: no byte outside the range is
// read or written.
#ifndef R3K_STRING_MEM_WORDS_H
#define R3K_STRING_MEM_WORDS_H

#include <stddef.h>
#include <stdint.h>

static_assert(__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__, "memcmp compares words as big-endian byte strings");

// These loops are exactly what the compiler would otherwise replace with a
// call of memcpy or memset, that is of themselves.  Flags given to a
// program's build do not reach the library, so the routines carry it.
#define R3K_NO_LIBCALL __attribute__((__optimize__("no-tree-loop-distribute-patterns")))
// One body per routine: no calls, no frame.
#define R3K_MEM_INLINE R3K_NO_LIBCALL __attribute__((__always_inline__)) inline

namespace r3k_mem {

using word = uint32_t __attribute__((__may_alias__));
struct __attribute__((__packed__, __may_alias__)) unaligned_word {
  uint32_t v;
};

// Below this many bytes aligning costs more than it saves.
constexpr size_t kWordMin = 8;

R3K_MEM_INLINE bool aligned(const void *p) { return (reinterpret_cast<uintptr_t>(p) & 3) == 0; }

template <bool SrcAligned>
R3K_MEM_INLINE uint32_t load(const unsigned char *p) {
  if constexpr (SrcAligned) return *reinterpret_cast<const word *>(p);
  else return reinterpret_cast<const unaligned_word *>(p)->v;
}

// Whole words from s to the word-aligned d, upwards; n is a multiple of 4.
// Each group is read before it is written, so d below an overlapping s is
// safe.
template <bool SrcAligned>
R3K_MEM_INLINE void words_up(unsigned char *d, const unsigned char *s, size_t n) {
  for (unsigned char *end = d + (n & ~size_t{15}); d != end; d += 16, s += 16) {
    const uint32_t a = load<SrcAligned>(s), b = load<SrcAligned>(s + 4), c = load<SrcAligned>(s + 8),
                   e = load<SrcAligned>(s + 12);
    word *w = reinterpret_cast<word *>(d);
    w[0] = a, w[1] = b, w[2] = c, w[3] = e;
  }
  for (unsigned char *end = d + (n & 12); d != end; d += 4, s += 4) *reinterpret_cast<word *>(d) = load<SrcAligned>(s);
}

// The same downwards, d and s pointing past the words: d above an
// overlapping s is safe.
template <bool SrcAligned>
R3K_MEM_INLINE void words_down(unsigned char *d, const unsigned char *s, size_t n) {
  for (unsigned char *end = d - (n & ~size_t{15}); d != end; d -= 16, s -= 16) {
    const uint32_t a = load<SrcAligned>(s - 4), b = load<SrcAligned>(s - 8), c = load<SrcAligned>(s - 12),
                   e = load<SrcAligned>(s - 16);
    word *w = reinterpret_cast<word *>(d);
    w[-1] = a, w[-2] = b, w[-3] = c, w[-4] = e;
  }
  for (unsigned char *end = d - (n & 12); d != end; d -= 4, s -= 4)
    reinterpret_cast<word *>(d)[-1] = load<SrcAligned>(s - 4);
}

// n bytes from s to d, in rising addresses: right for any d <= s.
R3K_MEM_INLINE void copy_up(unsigned char *d, const unsigned char *s, size_t n) {
  if (n >= kWordMin) {
    for (; !aligned(d); --n) *d++ = *s++;
    const size_t whole = n & ~size_t{3};
    if (aligned(s)) words_up<true>(d, s, whole);
    else words_up<false>(d, s, whole);
    d += whole, s += whole, n &= 3;
  }
  for (; n != 0; --n) *d++ = *s++;
}

// n bytes from s to d, in falling addresses: right for any d >= s.
R3K_MEM_INLINE void copy_down(unsigned char *d, const unsigned char *s, size_t n) {
  d += n, s += n;
  if (n >= kWordMin) {
    for (; !aligned(d); --n) *--d = *--s;
    const size_t whole = n & ~size_t{3};
    if (aligned(s)) words_down<true>(d, s, whole);
    else words_down<false>(d, s, whole);
    d -= whole, s -= whole, n &= 3;
  }
  for (; n != 0; --n) *--d = *--s;
}

}  // namespace r3k_mem

#endif
