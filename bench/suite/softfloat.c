/* Floating point through the compiler runtime (soft-float: every add,
 * multiply, divide, compare and conversion is a call): a Mandelbrot set
 * in double, a small n-body step, polynomial and square-root work in
 * float and double, results turned back into integers. */
#include "suite.h"

enum { kWidth = 48, kHeight = 32, kIterations = 64, kBodies = 5, kSteps = 1500, kRounds = 3 };

static double square_root(double x) {
  if (x <= 0) return 0;
  double r = x > 1 ? x / 2 : 1;
  for (int i = 0; i < 12; ++i) r = 0.5 * (r + x / r);
  return r;
}

/* In range whatever the value: a conversion out of range is undefined. */
static uint32_t to_bits(double v) {
  if (!(v > -2e9)) return 0x80000000u;
  if (v > 2e9) return 0x7fffffffu;
  return (uint32_t)(int32_t)v;
}

static uint32_t mandelbrot(double zoom) {
  uint32_t h = 0;
  for (int py = 0; py < kHeight; ++py)
    for (int px = 0; px < kWidth; ++px) {
      const double cx = -0.6 + (px - kWidth / 2) * zoom, cy = (py - kHeight / 2) * zoom;
      double x = 0, y = 0;
      int n = 0;
      while (n < kIterations && x * x + y * y < 4.0) {
        const double t = x * x - y * y + cx;
        y = 2 * x * y + cy;
        x = t;
        ++n;
      }
      h = mix(h, (uint32_t)n);
    }
  return h;
}

struct body {
  double x, y, z, vx, vy, vz, mass;
};

static uint32_t nbody(void) {
  struct body b[kBodies];
  for (int i = 0; i < kBodies; ++i) {
    b[i].x = (double)rng_below(2000) / 100 - 10;
    b[i].y = (double)rng_below(2000) / 100 - 10;
    b[i].z = (double)rng_below(2000) / 100 - 10;
    b[i].vx = b[i].vy = b[i].vz = 0;
    b[i].mass = 1 + (double)rng_below(100) / 10;
  }
  const double dt = 0.01;
  for (int step = 0; step < kSteps; ++step) {
    for (int i = 0; i < kBodies; ++i)
      for (int j = i + 1; j < kBodies; ++j) {
        const double dx = b[i].x - b[j].x, dy = b[i].y - b[j].y, dz = b[i].z - b[j].z;
        const double d2 = dx * dx + dy * dy + dz * dz + 0.01;
        const double mag = dt / (d2 * square_root(d2));
        b[i].vx -= dx * b[j].mass * mag;
        b[i].vy -= dy * b[j].mass * mag;
        b[i].vz -= dz * b[j].mass * mag;
        b[j].vx += dx * b[i].mass * mag;
        b[j].vy += dy * b[i].mass * mag;
        b[j].vz += dz * b[i].mass * mag;
      }
    for (int i = 0; i < kBodies; ++i) {
      b[i].x += dt * b[i].vx;
      b[i].y += dt * b[i].vy;
      b[i].z += dt * b[i].vz;
    }
  }
  uint32_t h = 0;
  for (int i = 0; i < kBodies; ++i) h = mix(h, to_bits(b[i].x * 1000) ^ to_bits(b[i].vy * 1e6));
  return h;
}

/* Single precision: a polynomial by Horner's rule and int conversions. */
static uint32_t polynomial(void) {
  static const float coef[] = {1.0f, -0.5f, 0.041666f, -0.0013888f, 0.0000248f};
  uint32_t h = 0;
  for (int i = 0; i < 3000; ++i) {
    const float x = (float)(int32_t)(rng() & 0xffff) / 8192.0f - 4.0f;
    const float x2 = x * x;
    float p = coef[4];
    for (int k = 3; k >= 0; --k) p = p * x2 + coef[k];
    h = mix(h, to_bits(p * 65536.0f));
    if (p > 0.5f) h += 3;
  }
  return h;
}

int main(void) {
  uint32_t check = 0;
  rng_seed(47);
  for (int round = 0; round < kRounds; ++round) {
    check = mix(check, mandelbrot(0.06 / (round + 1)));
    check = mix(check, nbody());
    check = mix(check, polynomial());
  }
  report("softfloat", check);
  return 0;
}
