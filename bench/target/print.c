/* Bulk console output for bench/print_bench: the same source built with
 * this library for r3krun and with the cross C library for qemu-mips. */
#include <stdio.h>

int main(void) {
  for (int i = 0; i < 20000; ++i) printf("line %5d of the bulk output: %08x %s\n", i, i * 2654435761u, "done");
  return 0;
}
