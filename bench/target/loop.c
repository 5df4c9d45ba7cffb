/* The CPU-bound work both machines run: compiled once into one object and
 * linked twice (r3krun's runtime, and a bare Linux start-up for qemu-mips),
 * so both execute exactly the same instructions.  A mix of what compiled
 * programs spend their time on: byte and word loads and stores, table
 * lookups, shifts, multiplies, divisions, calls through a pointer, short
 * and long branches. */
#include "loop.h"

#include <stdint.h>

enum { kBytes = 16384, kWords = 2048, kSieve = 65536 };

static uint8_t bytes[kBytes];
static uint32_t words[kWords];
static uint8_t composite[kSieve];
static uint32_t crc_table[256];
static uint32_t seed = 12345; /* small data: reached through gp */

static uint32_t next_random(void) {
  seed = seed * 1103515245u + 12345u;
  return seed >> 8;
}

static void make_crc_table(void) {
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = c & 1 ? 0xedb88320u ^ (c >> 1) : c >> 1;
    crc_table[n] = c;
  }
}

static uint32_t crc32(const uint8_t *p, uint32_t len, uint32_t crc) {
  crc = ~crc;
  while (len--) crc = crc_table[(crc ^ *p++) & 0xff] ^ (crc >> 8);
  return ~crc;
}

static uint32_t sieve(uint32_t limit) {
  uint32_t primes = 0, sum = 0;
  for (uint32_t i = 0; i < limit; ++i) composite[i] = 0;
  for (uint32_t i = 2; i < limit; ++i) {
    if (composite[i]) continue;
    ++primes;
    sum += i;
    for (uint32_t j = i * 2; j < limit; j += i) composite[j] = 1;
  }
  return primes * 65599u + sum;
}

/* Through a pointer, so the sort makes real calls. */
static int compare_words(const void *a, const void *b) {
  uint32_t x = *(const uint32_t *)a, y = *(const uint32_t *)b;
  return x < y ? -1 : x > y;
}

static void shell_sort(uint32_t *v, uint32_t n, int (*cmp)(const void *, const void *)) {
  for (uint32_t gap = n / 2; gap > 0; gap /= 2) {
    for (uint32_t i = gap; i < n; ++i) {
      uint32_t x = v[i], j = i;
      for (; j >= gap && cmp(&v[j - gap], &x) > 0; j -= gap) v[j] = v[j - gap];
      v[j] = x;
    }
  }
}

static uint32_t digits(uint32_t v) {
  uint32_t sum = 0;
  while (v) {
    sum += v % 10;
    v /= 10;
  }
  return sum;
}

uint32_t bench_checksum(uint32_t rounds) {
  make_crc_table();
  uint32_t check = 0;
  for (uint32_t round = 0; round < rounds; ++round) {
    for (uint32_t i = 0; i < kBytes; ++i) bytes[i] = (uint8_t)next_random();
    check = crc32(bytes, kBytes, check);
    for (uint32_t i = 0; i < kWords; ++i) words[i] = next_random();
    shell_sort(words, kWords, compare_words);
    for (uint32_t i = 0; i < kWords; i += 64) check += digits(words[i]) * i;
    check ^= sieve(kSieve - round);
    check = (check << 7) | (check >> 25);
  }
  return check;
}

void bench_hex(uint32_t value, char out[9]) {
  for (int i = 0; i < 8; ++i) out[i] = "0123456789abcdef"[(value >> (28 - 4 * i)) & 15];
  out[8] = '\n';
}
