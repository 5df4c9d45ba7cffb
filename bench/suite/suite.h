/* What the programs of the suite share: a reproducible generator, a
 * checksum step, and the one result line both machines must agree on.
 * Each program is built once for this library (r3krun) and once with a
 * bare Linux start-up (qemu-mips), from the same object. */
#ifndef R3K_BENCH_SUITE_H
#define R3K_BENCH_SUITE_H

#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

static uint32_t suite_rng_state = 0x2545f491u;

static inline void rng_seed(uint32_t seed) { suite_rng_state = seed ? seed : 1; }

/* xorshift32: cheap, and the same sequence everywhere. */
static inline uint32_t rng(void) {
  uint32_t x = suite_rng_state;
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  return suite_rng_state = x;
}

static inline uint32_t rng_below(uint32_t n) { return rng() % n; }

static inline uint32_t mix(uint32_t h, uint32_t v) {
  h ^= v;
  h *= 0x01000193u;
  return h ^ (h >> 15);
}

static inline void report(const char *what, uint32_t value) { printf("%s %08x\n", what, (unsigned)value); }

#ifdef __cplusplus
}
#endif

#endif
