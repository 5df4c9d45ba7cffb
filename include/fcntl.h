#ifndef _FCNTL_H_
#define _FCNTL_H_

/* open()'s flags: one access mode (O_RDONLY, O_WRONLY, O_RDWR) or'ed with
 * O_CREAT, O_EXCL, O_TRUNC, O_APPEND.  Other bits fail with EINVAL. */

#include <r3k/values/fcntl.h>
#include <sys/cdefs.h>
#include <sys/types.h>

__BEGIN_DECLS
int open(const char *path, int flags, ...);
__END_DECLS

#endif
