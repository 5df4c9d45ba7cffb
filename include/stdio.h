#ifndef _STDIO_H_
#define _STDIO_H_

/* Unbuffered output: every byte printf produces is its own write(2) call
 * on descriptor 1.  Directives: flags # - 0, a width, l/q (ignored: all
 * arguments are 32-bit words) and the conversions d o u x p s c. */

#include <stdarg.h>
#include <stddef.h>
#include <sys/cdefs.h>

#define EOF (-1)

__BEGIN_DECLS
int printf(const char *fmt, ...) __printflike(1, 2);
int vprintf(const char *fmt, va_list ap) __printflike(1, 0);
int putchar(int c);
int snprintf(char *buf, size_t size, const char *fmt, ...) __printflike(3, 4);
int vsnprintf(char *buf, size_t size, const char *fmt, va_list ap) __printflike(3, 0);
__END_DECLS

#endif
