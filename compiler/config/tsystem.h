/* The system headers libgcc2.c expects, freestanding.  Its overflow checks
   (-ftrapv) and division by zero stop at a break instruction, as the
   compiler's own checks do on MIPS-I: the routines need nothing from the C
   library, so they link after it in any order. */
#include <stddef.h>
#define abort() __builtin_trap()
