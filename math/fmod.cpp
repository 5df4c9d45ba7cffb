// fmod by long division of the significands, one bit per step from the
// exponent of x down to that of y; the remainder is always exact.
#include <math.h>

#include "ieee.h"

namespace {

// A finite non-zero magnitude as a significand with its implicit bit set
// and the biased exponent it would have if subnormals had one.
template <class M>
typename M::Bits unpack(typename M::Bits mag, int &e) {
  e = static_cast<int>(mag >> M::kFrac);
  typename M::Bits m = mag & M::kFracMask;
  if (e != 0) return m | M::kOne;
  for (e = 1; !(m & M::kOne); --e) m <<= 1;
  return m;
}

template <class F>
F remainder_of(F x, F y) {
  using M = r3k_math::Format<F>;
  using Bits = typename M::Bits;
  const Bits bx = M::bits(x), by = M::bits(y);
  const Bits sign = bx & M::kSign, ax = bx & ~M::kSign, ay = by & ~M::kSign;
  if (M::nan(bx) || M::nan(by)) return M::quiet_nan(bx) ? x : M::pass_nan(by);
  if (ax == M::kInf || ay == 0) return M::value(M::kDefaultNan);
  if (ax < ay) return x;  // y infinite, x zero, or |x| < |y|
  if (ax == ay) return M::value(sign);

  int ex, ey;
  Bits mx = unpack<M>(ax, ex);
  const Bits my = unpack<M>(ay, ey);
  // mx < 2 * my throughout: each step takes my off at most once.
  for (int n = ex - ey; n > 0; --n) {
    if (mx >= my) mx -= my;
    mx <<= 1;
  }
  if (mx >= my) mx -= my;
  if (mx == 0) return M::value(sign);
  // The remainder has y's exponent scale: normalise, or go subnormal
  // (no bit is lost: it is a multiple of the smaller ulp of x and y).
  while (!(mx & M::kOne)) mx <<= 1, --ey;
  if (ey >= 1) return M::value(sign | ((Bits(ey) << M::kFrac) + (mx & M::kFracMask)));
  return M::value(sign | (mx >> (1 - ey)));
}

}  // namespace

double fmod(double x, double y) { return remainder_of(x, y); }
float fmodf(float x, float y) { return remainder_of(x, y); }
