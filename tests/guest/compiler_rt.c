/* Guest for the compiler-runtime tests: every routine of libr3kgcc.a and
   of libm.a kept in the image, so that the host can call each by name. */
/* clang-format off */
#define ROUTINES(X)                                                                      \
  X(__adddf3) X(__subdf3) X(__muldf3) X(__divdf3) X(__negdf2)                            \
  X(__addsf3) X(__subsf3) X(__mulsf3) X(__divsf3) X(__negsf2)                            \
  X(__eqdf2) X(__nedf2) X(__ltdf2) X(__ledf2) X(__gtdf2) X(__gedf2) X(__unorddf2)        \
  X(__eqsf2) X(__nesf2) X(__ltsf2) X(__lesf2) X(__gtsf2) X(__gesf2) X(__unordsf2)        \
  X(__fixdfsi) X(__fixunsdfsi) X(__fixdfdi) X(__fixunsdfdi)                              \
  X(__fixsfsi) X(__fixunssfsi) X(__fixsfdi) X(__fixunssfdi)                              \
  X(__floatsidf) X(__floatunsidf) X(__floatdidf) X(__floatundidf)                        \
  X(__floatsisf) X(__floatunsisf) X(__floatdisf) X(__floatundisf)                        \
  X(__extendsfdf2) X(__truncdfsf2) X(__powidf2) X(__powisf2)                             \
  X(__muldc3) X(__divdc3) X(__mulsc3) X(__divsc3)                                        \
  X(__divdi3) X(__moddi3) X(__udivdi3) X(__umoddi3) X(__udivmoddi4) X(__divmoddi4)       \
  X(__muldi3) X(__negdi2) X(__ashldi3) X(__ashrdi3) X(__lshrdi3) X(__cmpdi2) X(__ucmpdi2) \
  X(__clzsi2) X(__clzdi2) X(__ctzsi2) X(__ctzdi2) X(__ffssi2) X(__ffsdi2)                \
  X(__clrsbsi2) X(__clrsbdi2) X(__popcountsi2) X(__popcountdi2)                          \
  X(__paritysi2) X(__paritydi2) X(__bswapsi2) X(__bswapdi2)                              \
  X(__addvsi3) X(__addvdi3) X(__subvsi3) X(__subvdi3) X(__mulvsi3) X(__mulvdi3)          \
  X(__negvsi2) X(__negvdi2) X(__absvsi2) X(__absvdi2)                                    \
  X(sqrt) X(sqrtf) X(fabs) X(fabsf) X(copysign) X(copysignf) X(floor) X(floorf)          \
  X(ceil) X(ceilf) X(trunc) X(truncf) X(round) X(roundf) X(fmod) X(fmodf)
/* clang-format on */

/* Under names of their own: some are built-in functions to the compiler. */
#define DECLARE(name) extern char kept##name[] __asm__(#name);
ROUTINES(DECLARE)
#define ADDRESS(name) kept##name,
const void *const keep_linked[] = {ROUTINES(ADDRESS)};

int main(int argc, char **argv) {
  (void)argv;
  return ((const void *const volatile *)keep_linked)[argc - 1] == 0;
}
