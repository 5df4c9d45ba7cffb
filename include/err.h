#ifndef _ERR_H_
#define _ERR_H_

/* One-line reports on descriptor 2: "program: message[: error text]\n".
 * The err forms then exit with the given status; the x forms leave out
 * the text of errno.  The format may be null: the line is then
 * "program: \n", or "program: error text\n" for the forms with it. */

#include <stdarg.h>
#include <sys/cdefs.h>

__BEGIN_DECLS
__dead void err(int status, const char *fmt, ...) __printflike(2, 3);
__dead void errx(int status, const char *fmt, ...) __printflike(2, 3);
__dead void verr(int status, const char *fmt, va_list ap) __printflike(2, 0);
__dead void verrx(int status, const char *fmt, va_list ap) __printflike(2, 0);
void warn(const char *fmt, ...) __printflike(1, 2);
void warnx(const char *fmt, ...) __printflike(1, 2);
void vwarn(const char *fmt, va_list ap) __printflike(1, 0);
void vwarnx(const char *fmt, va_list ap) __printflike(1, 0);
__END_DECLS

#endif
