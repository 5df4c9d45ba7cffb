#ifndef _SYS_CDEFS_H_
#define _SYS_CDEFS_H_

/* The library's names have C linkage for C and C++ callers alike. */
#ifdef __cplusplus
#define __BEGIN_DECLS extern "C" {
#define __END_DECLS   }
#else
#define __BEGIN_DECLS
#define __END_DECLS
#endif

#define __dead                  __attribute__((__noreturn__))
#define __printflike(fmt, args) __attribute__((__format__(__printf__, fmt, args)))

#endif
