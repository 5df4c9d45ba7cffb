// The sign bit alone: cleared, or taken from another operand.  NaNs too
// are only changed in their sign.
#include <math.h>

#include "ieee.h"

namespace {
using D = r3k_math::Format<double>;
using S = r3k_math::Format<float>;
}  // namespace

double fabs(double x) { return D::value(D::bits(x) & ~D::kSign); }
float fabsf(float x) { return S::value(S::bits(x) & ~S::kSign); }
double copysign(double x, double sign) { return D::value((D::bits(x) & ~D::kSign) | (D::bits(sign) & D::kSign)); }
float copysignf(float x, float sign) { return S::value((S::bits(x) & ~S::kSign) | (S::bits(sign) & S::kSign)); }
