#ifndef _SYS_REBOOT_H_
#define _SYS_REBOOT_H_

/* reboot(code): every process ends at once.  Other codes fail with EINVAL. */

#include <r3k/values/reboot.h>
#include <sys/cdefs.h>

__BEGIN_DECLS
int reboot(int code);
__END_DECLS

#endif
