#ifndef _SYS_STAT_H_
#define _SYS_STAT_H_

/* struct stat, the file types and permission bits of st_mode. */

#include <r3k/values/stat.h>
#include <stdint.h>
#include <sys/cdefs.h>
#include <sys/types.h>

#define S_ISSOCK(m) (((m)&S_IFMT) == S_IFSOCK)
#define S_ISLNK(m)  (((m)&S_IFMT) == S_IFLNK)
#define S_ISREG(m)  (((m)&S_IFMT) == S_IFREG)
#define S_ISBLK(m)  (((m)&S_IFMT) == S_IFBLK)
#define S_ISDIR(m)  (((m)&S_IFMT) == S_IFDIR)
#define S_ISCHR(m)  (((m)&S_IFMT) == S_IFCHR)
#define S_ISFIFO(m) (((m)&S_IFMT) == S_IFIFO)

__BEGIN_DECLS
int stat(const char *path, struct stat *st);
int lstat(const char *path, struct stat *st);
int fstat(int fd, struct stat *st);
int mkdir(const char *path, int mode);
__END_DECLS

#endif
