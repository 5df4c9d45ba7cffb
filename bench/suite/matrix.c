/* Matrix code: integer matrix products (plain and transposed), a 5x5
 * fixed-point convolution over an image, and Gauss-Jordan elimination
 * modulo a prime, which divides. */
#include "suite.h"

enum { kN = 48, kImage = 96, kRounds = 24 };
#define PRIME 65521u

static int32_t a[kN][kN], b[kN][kN], c[kN][kN], bt[kN][kN];
static int16_t image[kImage][kImage], blurred[kImage][kImage];
static uint32_t m[kN][kN + 1];

static void multiply(void) {
  for (int i = 0; i < kN; ++i)
    for (int j = 0; j < kN; ++j) {
      int32_t s = 0;
      for (int k = 0; k < kN; ++k) s += a[i][k] * b[k][j];
      c[i][j] = s;
    }
}

static void multiply_transposed(void) {
  for (int i = 0; i < kN; ++i)
    for (int j = 0; j < kN; ++j) bt[j][i] = b[i][j];
  for (int i = 0; i < kN; ++i)
    for (int j = 0; j < kN; ++j) {
      const int32_t *x = a[i], *y = bt[j];
      int32_t s = 0;
      for (int k = 0; k < kN; ++k) s += x[k] * y[k];
      c[i][j] ^= s;
    }
}

/* A 5x5 kernel of integer weights, the sum scaled back in fixed point. */
static void convolve(void) {
  static const int16_t kernel[5][5] = {{41, 164, 270, 164, 41},
                                       {164, 655, 1081, 655, 164},
                                       {270, 1081, 1785, 1081, 270},
                                       {164, 655, 1081, 655, 164},
                                       {41, 164, 270, 164, 41}};
  for (int y = 2; y < kImage - 2; ++y)
    for (int x = 2; x < kImage - 2; ++x) {
      int32_t s = 0;
      for (int dy = -2; dy <= 2; ++dy)
        for (int dx = -2; dx <= 2; ++dx) s += image[y + dy][x + dx] * kernel[dy + 2][dx + 2];
      s = (int32_t)(((int64_t)s * 372 + (1 << 21)) >> 22); /* the weights add up to 11285 */
      blurred[y][x] = (int16_t)(s > 32767 ? 32767 : s < -32768 ? -32768 : s);
    }
}

static uint32_t power_mod(uint32_t base, uint32_t e) {
  uint32_t r = 1;
  while (e) {
    if (e & 1) r = r * base % PRIME;
    base = base * base % PRIME;
    e >>= 1;
  }
  return r;
}

/* Reduces m to the identity on its left; returns the product of the pivots. */
static uint32_t eliminate(void) {
  uint32_t det = 1;
  for (int col = 0; col < kN; ++col) {
    int pivot = col;
    while (pivot < kN && m[pivot][col] == 0) ++pivot;
    if (pivot == kN) return 0;
    for (int k = 0; k <= kN; ++k) {
      const uint32_t t = m[col][k];
      m[col][k] = m[pivot][k];
      m[pivot][k] = t;
    }
    det = det * m[col][col] % PRIME;
    const uint32_t inv = power_mod(m[col][col], PRIME - 2);
    for (int k = col; k <= kN; ++k) m[col][k] = m[col][k] * inv % PRIME;
    for (int r = 0; r < kN; ++r) {
      if (r == col || m[r][col] == 0) continue;
      const uint32_t f = m[r][col];
      for (int k = col; k <= kN; ++k) m[r][k] = (m[r][k] + (PRIME - f) * m[col][k]) % PRIME;
    }
  }
  return det;
}

int main(void) {
  uint32_t check = 0;
  rng_seed(43);
  for (int round = 0; round < kRounds; ++round) {
    for (int i = 0; i < kN; ++i)
      for (int j = 0; j < kN; ++j) {
        a[i][j] = (int32_t)rng_below(2001) - 1000;
        b[i][j] = (int32_t)rng_below(2001) - 1000;
      }
    for (int rep = 0; rep < 8; ++rep) {
      multiply();
      multiply_transposed();
      a[rep][rep] += c[rep][kN - 1 - rep] & 7;
    }
    for (int i = 0; i < kN; ++i) check = mix(check, (uint32_t)c[i][(i * 7) % kN]);
    for (int y = 0; y < kImage; ++y)
      for (int x = 0; x < kImage; ++x) image[y][x] = (int16_t)((x * y + (int)rng_below(64)) & 0x3fff);
    for (int rep = 0; rep < 10; ++rep) {
      convolve();
      for (int y = 2; y < kImage - 2; ++y)
        for (int x = 2; x < kImage - 2; ++x) image[y][x] = blurred[y][x];
    }
    for (int y = 0; y < kImage; y += 5) check = mix(check, (uint32_t)image[y][(y * 3) % kImage]);
    for (int rep = 0; rep < 3; ++rep) {
      for (int i = 0; i < kN; ++i)
        for (int j = 0; j <= kN; ++j) m[i][j] = rng_below(PRIME);
      check = mix(check, eliminate());
      for (int i = 0; i < kN; ++i) check = mix(check, m[i][kN]);
    }
  }
  report("matrix", check);
  return 0;
}
