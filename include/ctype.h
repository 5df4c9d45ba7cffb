#ifndef _CTYPE_H_
#define _CTYPE_H_

#include <sys/cdefs.h>

/* Character classes of the "C" locale, the only one: an argument is EOF
 * (-1) or a byte value 0..255, and bytes 128..255 belong to no class.
 * Each answers 1 or 0; tolower and toupper return any other value as it
 * is. */
__BEGIN_DECLS
int isalnum(int c);
int isalpha(int c);
int isblank(int c);
int iscntrl(int c);
int isdigit(int c);
int isgraph(int c);
int islower(int c);
int isprint(int c);
int ispunct(int c);
int isspace(int c);
int isupper(int c);
int isxdigit(int c);
int tolower(int c);
int toupper(int c);
__END_DECLS

#endif
