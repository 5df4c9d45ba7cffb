#ifndef _STDLIB_H_
#define _STDLIB_H_

#include <stddef.h>
#include <sys/cdefs.h>

#define EXIT_SUCCESS 0
#define EXIT_FAILURE 1

__BEGIN_DECLS
/* Ends the process with the status, unchanged.  Nothing is buffered, so
 * there is nothing to flush. */
__dead void exit(int status);
/* Ends the process with status 255, silently. */
__dead void abort(void);
/* Spins until something outside clears its flag. */
void __exit_hack(void);
__END_DECLS

#endif
