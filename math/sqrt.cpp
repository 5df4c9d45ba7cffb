// Square root correctly rounded, computed on the significand with integers:
// one result bit per step, the remainder of the last step deciding the
// rounding of the half-way bit.
#include <math.h>

#include "ieee.h"

namespace {

template <class F>
F square_root(F x) {
  using M = r3k_math::Format<F>;
  using Bits = typename M::Bits;
  const Bits b = M::bits(x);
  if (b == 0 || b == M::kSign || b == M::kInf) return x;  // +-0, +inf
  if (M::nan(b)) return M::pass_nan(b);
  if (b & M::kSign) return M::value(M::kDefaultNan);

  // x = m * 2^k with m a whole number of kFrac+1 significant bits.
  int e = static_cast<int>(b >> M::kFrac);
  Bits m = b & M::kFracMask;
  if (e == 0) {  // subnormal: bring the top bit up to the implicit one
    for (e = 1; !(m & M::kOne); --e) m <<= 1;
  } else {
    m |= M::kOne;
  }
  int k = e - M::kBias - M::kFrac;
  // sqrt(x) = sqrt(m * 2^s) * 2^((k - s) / 2) with s = kFrac + 2, so that
  // the root q has kFrac + 2 bits: the significand and one rounding bit.
  constexpr int s = M::kFrac + 2;
  if ((k - s) & 1) m <<= 1, --k;

  // Step j tries q + 2^j; r is (m * 2^s - q*q) / 2^j, which stays below
  // 2^(kFrac + 6) and so fits the format's own integer.
  Bits q = 0, r = m << 1;
  for (int j = M::kFrac + 1; j >= 0; --j) {
    const Bits t = (q << 1) + (Bits(1) << j);
    if (t <= r) r -= t, q += Bits(1) << j;
    r <<= 1;
  }
  // q / 2 carries the implicit bit into the exponent field.
  const int exponent = M::kFrac + 1 + (k - s) / 2 + M::kBias;
  Bits result = (Bits(exponent - 1) << M::kFrac) + (q >> 1);
  if ((q & 1) && (r != 0 || (q & 2))) ++result;  // to nearest, ties to even
  return M::value(result);
}

}  // namespace

double sqrt(double x) { return square_root(x); }
float sqrtf(float x) { return square_root(x); }
