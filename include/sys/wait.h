#ifndef _SYS_WAIT_H_
#define _SYS_WAIT_H_

/* waitpid(pid, &status, options): pid > 0 waits for that child, pid -1 for
 * any child of the caller; options 0 or WNOHANG.
 *
 * The status word comes in the form the kernel stores.  These macros read
 * the Unix form (r3krun --wait-status=unix): an exit stores
 * (status & 0xff) << 8, a kill the signal number in the low 7 bits.  In
 * r3krun's default raw form the word is the exit status itself, and
 * 128 + signal for a process killed by a fault: there, read it directly. */

#include <r3k/values/wait.h>
#include <unistd.h> /* waitpid */

#define WTERMSIG(s)    ((s)&0x7f)
#define WIFEXITED(s)   (WTERMSIG(s) == 0)
#define WEXITSTATUS(s) (((s) >> 8) & 0xff)
#define WIFSIGNALED(s) (WTERMSIG(s) != 0)

#endif
