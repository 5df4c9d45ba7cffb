#ifndef _UNISTD_H_
#define _UNISTD_H_

/* One routine per kernel call.  Each returns the kernel's result, or -1
 * with the kernel's error number in errno. */

#include <r3k/values/unistd.h> /* SEEK_SET, SEEK_CUR, SEEK_END */
#include <sys/cdefs.h>
#include <sys/types.h>

#define STDIN_FILENO  0
#define STDOUT_FILENO 1
#define STDERR_FILENO 2

struct stat;

__BEGIN_DECLS
__dead void _exit(int status);
int execv(const char *path, char *const argv[]);
pid_t fork(void);
pid_t waitpid(pid_t pid, int *status, int options);
int open(const char *path, int flags, ...);
ssize_t read(int fd, void *buf, size_t len);
ssize_t write(int fd, const void *buf, size_t len);
int close(int fd);
void sync(void);
int reboot(int code);
void *sbrk(int amount);
pid_t getpid(void);
int ioctl(int fd, int code, void *buf);
off_t lseek(int fd, off_t pos, int whence);
int fsync(int fd);
int ftruncate(int fd, off_t len);
int fstat(int fd, struct stat *st);
int remove(const char *path);
int rename(const char *from, const char *to);
int link(const char *from, const char *to);
int mkdir(const char *path, int mode);
int rmdir(const char *path);
int chdir(const char *path);
int getdirentry(int fd, char *buf, size_t len);
int symlink(const char *target, const char *path);
int readlink(const char *path, char *buf, size_t len);
int dup2(int from, int to);
int pipe(int fds[2]);
time_t __time(time_t *secs, unsigned long *nsecs);
int __getcwd(char *buf, size_t len);
int stat(const char *path, struct stat *st);
int lstat(const char *path, struct stat *st);
pid_t getppid(void);
__END_DECLS

#endif
