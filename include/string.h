#ifndef _STRING_H_
#define _STRING_H_

#include <stddef.h>
#include <sys/cdefs.h>

/* Bytes are compared as signed 8-bit values, whatever plain char is. */
__BEGIN_DECLS
int strcmp(const char *a, const char *b);
char *strchr(const char *s, int ch);
size_t strlen(const char *s);
/* Message for an error number; "Unknown error number" outside the table. */
const char *strerror(int errnum);
__END_DECLS

#endif
