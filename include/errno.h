#ifndef _ERRNO_H_
#define _ERRNO_H_

#include <sys/cdefs.h>

/* Error numbers of the kernel; strerror() gives their messages. */
#define EOK          0  /* Operation succeeded */
#define EINVAL       1  /* Invalid argument */
#define EFAULT       2  /* Bad memory address */
#define ENAMETOOLONG 3  /* String too long */
#define ENOMEM       4  /* Out of memory */
#define EIO          5  /* Input/output error */
#define ENOENT       6  /* No such file or directory */
#define ENOTDIR      7  /* Not a directory */
#define EISDIR       8  /* Is a directory */
#define EEXIST       9  /* File or object exists */
#define EXDEV        10 /* Cross-device link */
#define EAGAIN       11 /* Try again later */
#define ESPIPE       12 /* Illegal seek */
#define EUNIMP       13 /* Unimplemented feature */
#define ENXIO        14 /* Device not available */
#define ENODEV       15 /* No such device */
#define EBUSY        16 /* Device or resource busy */
#define EIOCTL       17 /* Invalid/inappropriate ioctl */
#define ENOTEMPTY    18 /* Directory not empty */
#define ERANGE       19 /* Result too large */
#define ENOSPC       20 /* No space left on device */
#define EMFILE       21 /* Too many open files */
#define ENFILE       22 /* Too many open files in system */
#define ENOSYS       23 /* No such system call */
#define ENOEXEC      24 /* File is not executable */
#define E2BIG        25 /* Argument list too long */
#define EBADF        26 /* Bad file number */

__BEGIN_DECLS
/* Error number of the last failed kernel call; never cleared. */
extern int errno;

/* The message table, in read-only data. */
extern const char *const sys_errlist[];
/* Its number of entries (27): a small object, so in small data, where
 * code built with -G 8 looks for every small object it declares. */
extern const int sys_nerr;
__END_DECLS

#endif
