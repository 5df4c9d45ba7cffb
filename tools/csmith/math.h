/* All csmith's safe float arithmetic takes from <math.h>, as compiler
   built-ins: the library has no libm, and both builds must compile the
   same text. */
#ifndef R3K_CSMITH_MATH_H
#define R3K_CSMITH_MATH_H
#define fabsf(x) __builtin_fabsf(x)
#define fabs(x)  __builtin_fabs(x)
#endif
