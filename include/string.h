#ifndef _STRING_H_
#define _STRING_H_

#include <stddef.h>
#include <sys/cdefs.h>

__BEGIN_DECLS
/* The regions of memcpy must not overlap; those of memmove may. */
void *memcpy(void *__restrict dst, const void *__restrict src, size_t n);
void *memmove(void *dst, const void *src, size_t n);
void *memset(void *dst, int c, size_t n);
/* Bytes compared as unsigned values; exactly -1, 0 or 1. */
int memcmp(const void *a, const void *b, size_t n);

/* Bytes are compared as signed 8-bit values, whatever plain char is. */
int strcmp(const char *a, const char *b);
char *strchr(const char *s, int ch);
size_t strlen(const char *s);
/* Message for an error number; "Unknown error number" outside the table. */
const char *strerror(int errnum);
__END_DECLS

#endif
