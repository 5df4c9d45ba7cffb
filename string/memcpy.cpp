#include <string.h>

#include "mem_words.h"

R3K_NO_LIBCALL void *memcpy(void *__restrict dst, const void *__restrict src, size_t n) {
  r3k_mem::copy_up(static_cast<unsigned char *>(dst), static_cast<const unsigned char *>(src), n);
  return dst;
}
