#include <errno.h>

// Zero at start (bss); written only by the trap routine, on failure.
int errno;
