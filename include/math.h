#ifndef _MATH_H_
#define _MATH_H_

#include <sys/cdefs.h>

/* libm.a (-lm): exact on IEEE single and double, computed with integer
 * operations on the bits.  sqrt is correctly rounded (to nearest, ties to
 * even); the others are exact.  NaNs are MIPS legacy NaNs, as in the
 * compiler runtime: a quiet NaN operand comes back unchanged, a signalling
 * one or an invalid operation (sqrt of a negative number, fmod(inf, y),
 * fmod(x, 0)) gives the default NaN.  errno is never set. */

#define HUGE_VAL  (__builtin_huge_val())
#define HUGE_VALF (__builtin_huge_valf())
#define HUGE_VALL (__builtin_huge_vall())
#define INFINITY  (__builtin_inff())
#define NAN       (__builtin_nanf(""))

#define FP_NAN       0
#define FP_INFINITE  1
#define FP_ZERO      2
#define FP_SUBNORMAL 3
#define FP_NORMAL    4

/* No extra range or precision: each type is evaluated as itself. */
typedef float float_t;
typedef double double_t;

#ifndef __cplusplus
#define fpclassify(x) __builtin_fpclassify(FP_NAN, FP_INFINITE, FP_NORMAL, FP_SUBNORMAL, FP_ZERO, x)
#define isfinite(x)   __builtin_isfinite(x)
#define isinf(x)      __builtin_isinf(x)
#define isnan(x)      __builtin_isnan(x)
#define isnormal(x)   __builtin_isnormal(x)
#define signbit(x)    __builtin_signbit(x)
#endif

__BEGIN_DECLS
double sqrt(double x);
float sqrtf(float x);
double fabs(double x);
float fabsf(float x);
double copysign(double x, double sign);
float copysignf(float x, float sign);
/* Toward -inf, toward +inf, toward zero, to nearest with halves away from zero. */
double floor(double x);
float floorf(float x);
double ceil(double x);
float ceilf(float x);
double trunc(double x);
float truncf(float x);
double round(double x);
float roundf(float x);
/* x - n*y for n the quotient x/y truncated toward zero, with the sign of x. */
double fmod(double x, double y);
float fmodf(float x, float y);
__END_DECLS

#ifdef __cplusplus
/* In C++ the classification macros are functions, for each floating type. */
#define _R3K_MATH_CLASS(T)                                                                 \
  inline constexpr int fpclassify(T x) {                                                   \
    return __builtin_fpclassify(FP_NAN, FP_INFINITE, FP_NORMAL, FP_SUBNORMAL, FP_ZERO, x); \
  }                                                                                        \
  inline constexpr bool isfinite(T x) { return __builtin_isfinite(x); }                    \
  inline constexpr bool isinf(T x) { return __builtin_isinf(x); }                          \
  inline constexpr bool isnan(T x) { return __builtin_isnan(x); }                          \
  inline constexpr bool isnormal(T x) { return __builtin_isnormal(x); }                    \
  inline constexpr bool signbit(T x) { return __builtin_signbit(x); }
_R3K_MATH_CLASS(float)
_R3K_MATH_CLASS(double)
_R3K_MATH_CLASS(long double)
#undef _R3K_MATH_CLASS
#endif

#endif
