/* The benchmark loop's interface, shared by its two start-ups. */
#ifndef R3K_BENCH_LOOP_H
#define R3K_BENCH_LOOP_H

#include <stdint.h>

/* Rounds of work; both start-ups use the same count. */
#define BENCH_ROUNDS 100

#ifdef __cplusplus
extern "C" {
#endif
uint32_t bench_checksum(uint32_t rounds);
/* Eight hex digits and a newline. */
void bench_hex(uint32_t value, char out[9]);
#ifdef __cplusplus
}
#endif

#endif
