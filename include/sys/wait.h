#ifndef _SYS_WAIT_H_
#define _SYS_WAIT_H_
#include <unistd.h> /* waitpid */
#endif
