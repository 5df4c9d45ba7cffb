#ifndef _SYS_TYPES_H_
#define _SYS_TYPES_H_

#include <stddef.h>

typedef int pid_t;
typedef int ssize_t;
typedef long long off_t; /* 64-bit: travels in an aligned register pair */
typedef long long time_t;
typedef unsigned int mode_t;

#endif
