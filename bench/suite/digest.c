/* Checksums and a hash over a buffer: CRC-32 bit by bit and by table,
 * Adler-32, FNV-1a, and SHA-256 written from its description. */
#include <string.h>

#include "suite.h"

enum { kData = 1 << 14, kRounds = 120 };

static uint8_t data[kData];
static uint32_t crc_table[256];

static uint32_t crc_bitwise(const uint8_t *p, uint32_t n) {
  uint32_t c = ~0u;
  while (n--) {
    c ^= *p++;
    for (int k = 0; k < 8; ++k) c = c >> 1 ^ (0xedb88320u & -(c & 1));
  }
  return ~c;
}

static uint32_t crc_by_table(const uint8_t *p, uint32_t n) {
  uint32_t c = ~0u;
  while (n--) c = crc_table[(c ^ *p++) & 0xff] ^ c >> 8;
  return ~c;
}

static uint32_t adler32(const uint8_t *p, uint32_t n) {
  uint32_t a = 1, b = 0;
  while (n) {
    uint32_t chunk = n < 5552 ? n : 5552;
    n -= chunk;
    while (chunk--) {
      a += *p++;
      b += a;
    }
    a %= 65521;
    b %= 65521;
  }
  return b << 16 | a;
}

static uint32_t fnv1a(const uint8_t *p, uint32_t n) {
  uint32_t h = 2166136261u;
  while (n--) h = (h ^ *p++) * 16777619u;
  return h;
}

static uint32_t ror(uint32_t x, int n) { return x >> n | x << (32 - n); }

static const uint32_t k256[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

static void sha256_block(uint32_t h[8], const uint8_t *p) {
  uint32_t w[64];
  for (int i = 0; i < 16; ++i)
    w[i] = (uint32_t)p[4 * i] << 24 | (uint32_t)p[4 * i + 1] << 16 | (uint32_t)p[4 * i + 2] << 8 | p[4 * i + 3];
  for (int i = 16; i < 64; ++i) {
    const uint32_t s0 = ror(w[i - 15], 7) ^ ror(w[i - 15], 18) ^ w[i - 15] >> 3;
    const uint32_t s1 = ror(w[i - 2], 17) ^ ror(w[i - 2], 19) ^ w[i - 2] >> 10;
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
  for (int i = 0; i < 64; ++i) {
    const uint32_t t1 = hh + (ror(e, 6) ^ ror(e, 11) ^ ror(e, 25)) + ((e & f) ^ (~e & g)) + k256[i] + w[i];
    const uint32_t t2 = (ror(a, 2) ^ ror(a, 13) ^ ror(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    hh = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e, h[5] += f, h[6] += g, h[7] += hh;
}

static void sha256(const uint8_t *p, uint32_t n, uint32_t h[8]) {
  static const uint32_t init[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                   0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  memcpy(h, init, sizeof init);
  uint32_t done = 0;
  for (; done + 64 <= n; done += 64) sha256_block(h, p + done);
  uint8_t tail[128];
  const uint32_t rest = n - done, pad = rest < 56 ? 64 : 128;
  memset(tail, 0, sizeof tail);
  memcpy(tail, p + done, rest);
  tail[rest] = 0x80;
  const uint64_t bits = (uint64_t)n * 8;
  for (int i = 0; i < 8; ++i) tail[pad - 1 - i] = (uint8_t)(bits >> (8 * i));
  for (uint32_t at = 0; at < pad; at += 64) sha256_block(h, tail + at);
}

int main(void) {
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = c & 1 ? 0xedb88320u ^ c >> 1 : c >> 1;
    crc_table[n] = c;
  }
  /* The standard check values: CRC-32 of "123456789" is cbf43926, and
   * SHA-256 of "abc" begins ba7816bf. */
  uint32_t h[8];
  sha256((const uint8_t *)"abc", 3, h);
  uint32_t check = crc_by_table((const uint8_t *)"123456789", 9) ^ h[0];
  rng_seed(71);
  for (int round = 0; round < kRounds; ++round) {
    for (uint32_t i = 0; i < kData; ++i) data[i] = (uint8_t)(rng() >> (round & 7));
    check = mix(check, crc_bitwise(data, kData));
    check = mix(check, crc_by_table(data, kData));
    check = mix(check, adler32(data, kData));
    check = mix(check, fnv1a(data, kData));
    for (int rep = 0; rep < 4; ++rep) {
      sha256(data + rep * 100, kData - rep * 100, h);
      check = mix(check, h[0] ^ h[7]);
    }
  }
  report("digest", check);
  return 0;
}
