/* 64-bit integer arithmetic through the compiler runtime: Miller-Rabin
 * primality with 64-bit products reduced by 64-bit modulo, 64-bit
 * division and shifts by variable counts, bit counting. */
#include "suite.h"

enum { kCandidates = 6000, kRounds = 12 };

static uint64_t mul_mod(uint64_t a, uint64_t b, uint64_t m) { return a * b % m; }

static uint64_t pow_mod(uint64_t base, uint64_t e, uint64_t m) {
  uint64_t r = 1;
  base %= m;
  while (e) {
    if (e & 1) r = mul_mod(r, base, m);
    base = mul_mod(base, base, m);
    e >>= 1;
  }
  return r;
}

/* Deterministic for n < 2^32 with these witnesses. */
static int is_prime(uint32_t n) {
  if (n < 2) return 0;
  static const uint32_t small[] = {2, 3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37};
  for (int i = 0; i < 12; ++i) {
    if (n == small[i]) return 1;
    if (n % small[i] == 0) return 0;
  }
  uint64_t d = n - 1;
  int s = 0;
  while (!(d & 1)) d >>= 1, ++s;
  static const uint32_t witness[] = {2, 7, 61};
  for (int i = 0; i < 3; ++i) {
    uint64_t x = pow_mod(witness[i], d, n);
    if (x == 1 || x == n - 1) continue;
    int composite = 1;
    for (int r = 1; r < s && composite; ++r) {
      x = mul_mod(x, x, n);
      if (x == n - 1) composite = 0;
    }
    if (composite) return 0;
  }
  return 1;
}

static uint64_t state64 = 0x9e3779b97f4a7c15ull;

static uint64_t next64(void) {
  state64 = state64 * 6364136223846793005ull + 1442695040888963407ull;
  return state64;
}

int main(void) {
  uint32_t check = 0, primes = 0;
  rng_seed(53);
  for (int round = 0; round < kRounds; ++round) {
    for (uint32_t i = 0; i < kCandidates; ++i) {
      const uint32_t n = rng() | 0x80000001u;
      if (is_prime(n)) {
        ++primes;
        check = mix(check, n);
      }
    }
    uint64_t acc = 0;
    for (uint32_t i = 0; i < 20000; ++i) {
      const uint64_t x = next64(), y = (next64() >> (i & 31)) | 1;
      acc += x / y + (x % y) * 3;
      acc ^= (x << (i % 61)) | (y >> ((i * 7) % 64));
      acc += (uint64_t)__builtin_popcountll(x ^ acc);
      const int64_t sx = (int64_t)x >> 3, sy = (int64_t)(y | 1) - (int64_t)(1ull << 40);
      acc += (uint64_t)(sx / sy);
    }
    check = mix(check, (uint32_t)acc);
    check = mix(check, (uint32_t)(acc >> 32));
  }
  check = mix(check, primes);
  report("int64", check);
  return 0;
}
