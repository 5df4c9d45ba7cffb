#ifndef _R3K_RUNTIME_H_
#define _R3K_RUNTIME_H_

/* Library-internal interfaces with external linkage: shared between the
 * library's modules and available to programs that want the engine. */

#include <stdarg.h>
#include <stddef.h>
#include <sys/cdefs.h>

__BEGIN_DECLS
/* The argument vector exactly as the kernel passed it; null before start-up. */
extern char **__argv;

/* Output sink of the formatting engine: receives every run of generated
 * text.  Runs may be empty and are not NUL-terminated; the pointer is only
 * valid during the call. */
typedef void (*pf_sink)(void *arg, const char *chars, size_t count);

/* Formats fmt with ap, handing all output to sink(arg, ...); returns the
 * number of characters handed over. */
int __vprintf(pf_sink sink, void *arg, const char *fmt, va_list ap);
__END_DECLS

#endif
