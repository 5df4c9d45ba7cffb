/* Target description libgcc2.c reads, for MIPS-I o32: 32-bit words, so the
   double-word routines are the 64-bit ones (__divdi3, __ashldi3, ...). */
#define MIN_UNITS_PER_WORD 4
#define UNITS_PER_WORD     4
