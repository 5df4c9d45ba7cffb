/* All csmith's safe float arithmetic takes from <math.h>, as compiler
   built-ins: both builds compile the same text and link no libm. */
#ifndef R3K_CSMITH_MATH_H
#define R3K_CSMITH_MATH_H
#define fabsf(x) __builtin_fabsf(x)
#define fabs(x)  __builtin_fabs(x)
#endif
