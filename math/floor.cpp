// floor, ceil, trunc and round: the fraction bits cleared, then one unit
// of the last whole place added to the magnitude where the direction asks
// for it (a carry into the exponent is the right result).
#include <math.h>

#include "ieee.h"

namespace {

enum class To { Floor, Ceil, Zero, Nearest };

template <class F>
F integral(F x, To to) {
  using M = r3k_math::Format<F>;
  using Bits = typename M::Bits;
  const Bits b = M::bits(x);
  const Bits mag = b & ~M::kSign;
  const bool negative = b & M::kSign;
  const int e = static_cast<int>(mag >> M::kFrac) - M::kBias;  // unbiased exponent
  if (e >= M::kFrac) return M::nan(b) ? M::pass_nan(b) : x;    // whole already, infinite or NaN
  if (mag == 0) return x;
  // Up in magnitude: away from zero for floor of a negative number, ceil of
  // a positive one, round of a half or more.
  bool up;
  if (e < 0) {  // 0 < |x| < 1: +-0 or +-1
    up = to == To::Nearest ? e == -1 : to == (negative ? To::Floor : To::Ceil);
    return M::value((b & M::kSign) | (up ? Bits(M::kBias) << M::kFrac : 0));
  }
  const Bits fraction = M::kFracMask >> e;
  if (!(b & fraction)) return x;
  up = to == To::Nearest ? (b & (M::kOne >> (e + 1))) != 0 : to == (negative ? To::Floor : To::Ceil);
  return M::value((b & ~fraction) + (up ? fraction + 1 : 0));
}

}  // namespace

double floor(double x) { return integral(x, To::Floor); }
float floorf(float x) { return integral(x, To::Floor); }
double ceil(double x) { return integral(x, To::Ceil); }
float ceilf(float x) { return integral(x, To::Ceil); }
double trunc(double x) { return integral(x, To::Zero); }
float truncf(float x) { return integral(x, To::Zero); }
double round(double x) { return integral(x, To::Nearest); }
float roundf(float x) { return integral(x, To::Nearest); }
