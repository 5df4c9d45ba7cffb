// The IEEE formats as integers: libm's routines work on the bits, each
// written once for float and double.
#ifndef R3K_MATH_IEEE_H
#define R3K_MATH_IEEE_H

#include <stdint.h>

namespace r3k_math {

template <class F>
struct Ieee;
template <>
struct Ieee<float> {
  using Bits = uint32_t;
  static constexpr int kFracBits = 23;
};
template <>
struct Ieee<double> {
  using Bits = uint64_t;
  static constexpr int kFracBits = 52;
};

template <class F>
struct Format {
  using Bits = typename Ieee<F>::Bits;
  static constexpr int kFrac = Ieee<F>::kFracBits;
  static constexpr int kBias = (1 << (static_cast<int>(sizeof(F)) * 8 - 2 - kFrac)) - 1;
  static constexpr Bits kSign = Bits(1) << (sizeof(F) * 8 - 1);
  static constexpr Bits kOne = Bits(1) << kFrac;  // the implicit bit, and the exponent field's unit
  static constexpr Bits kFracMask = kOne - 1;
  static constexpr Bits kInf = kSign - kOne;  // exponent all ones: infinity, above it NaNs
  // MIPS legacy NaNs: the top fraction bit set makes a NaN signalling.
  static constexpr Bits kSignalling = kOne >> 1;
  static constexpr Bits kDefaultNan = kInf | (kFracMask >> 1);

  static F value(Bits b) { return __builtin_bit_cast(F, b); }
  static Bits bits(F x) { return __builtin_bit_cast(Bits, x); }
  static bool nan(Bits b) { return (b & ~kSign) > kInf; }
  static bool quiet_nan(Bits b) { return nan(b) && !(b & kSignalling); }
  // The result for a NaN operand: a quiet one passes, a signalling one
  // gives the default NaN.
  static F pass_nan(Bits b) { return value(quiet_nan(b) ? b : kDefaultNan); }
};

}  // namespace r3k_math

#endif
