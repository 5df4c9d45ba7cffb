/* Programs on files, names and execv, one per scenario named by argv[1],
 * run inside a temporary root that holds a FIFO named "fifo" and this
 * program as "/prog".  Each reports with one write per line (no buffered
 * output to duplicate at a fork).  Exit status 0 when every check held,
 * else the line of the first failed check. */
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

static int failed_line;
#define CHECK(cond)                                          \
  do {                                                       \
    if (!(cond) && failed_line == 0) failed_line = __LINE__; \
  } while (0)
/* A call that must fail with this error. */
#define FAILS(call, error) CHECK((call) == -1 && errno == (error))

static void say(const char *fmt, ...) {
  char buf[256];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  write(1, buf, (size_t)n);
}

static int child_status(pid_t pid) {
  int status = -1;
  CHECK(waitpid(pid, &status, 0) == pid);
  return status;
}

static int put(const char *path, const char *text) {
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return -1;
  int n = (int)write(fd, text, strlen(text));
  close(fd);
  return n;
}

/* The file's first bytes, as a string ("" when it cannot be read). */
static const char *get(const char *path) {
  static char buf[128];
  buf[0] = 0;
  int fd = open(path, O_RDONLY, 0);
  if (fd < 0) return buf;
  int n = (int)read(fd, buf, sizeof buf - 1);
  buf[n > 0 ? n : 0] = 0;
  close(fd);
  return buf;
}

/* Reads, writes, offsets shared by dup2 and fork, append, truncate. */
static void rw(void) {
  int fd = open("data", O_RDWR | O_CREAT | O_EXCL, 0600);
  CHECK(fd == 3);
  CHECK(write(fd, "hello, world", 12) == 12);
  CHECK(lseek(fd, 0, SEEK_CUR) == 12);
  CHECK(lseek(fd, 7, SEEK_SET) == 7);
  char buf[32] = {0};
  CHECK(read(fd, buf, sizeof buf) == 5 && memcmp(buf, "world", 5) == 0);
  CHECK(read(fd, buf, sizeof buf) == 0);
  FAILS(open("data", O_RDWR | O_CREAT | O_EXCL, 0600), EEXIST);
  FAILS(lseek(fd, -1, SEEK_SET), EINVAL);
  FAILS(lseek(fd, 0, 3), EINVAL);
  /* dup2 shares the offset. */
  CHECK(dup2(fd, 7) == 7);
  CHECK(lseek(7, 0, SEEK_SET) == 0);
  CHECK(read(fd, buf, 5) == 5 && memcmp(buf, "hello", 5) == 0);
  CHECK(lseek(7, 0, SEEK_CUR) == 5);
  /* So does fork: the child's read moves the parent's offset. */
  pid_t pid = fork();
  if (pid == 0) _exit(read(fd, buf, 2) == 2 ? 0 : 1);
  CHECK(child_status(pid) == 0);
  CHECK(lseek(fd, 0, SEEK_CUR) == 7);
  /* Past the end: a hole of zeros, and SEEK_END from the new size. */
  CHECK(lseek(fd, 20, SEEK_SET) == 20);
  CHECK(write(fd, "!", 1) == 1);
  CHECK(lseek(fd, 0, SEEK_END) == 21);
  struct stat st;
  CHECK(fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 21 && (st.st_mode & 0777) == 0600);
  CHECK(ftruncate(fd, 5) == 0 && fstat(fd, &st) == 0 && st.st_size == 5);
  CHECK(fsync(fd) == 0);
  close(7);
  close(fd);
  /* O_APPEND writes at the end whatever the offset; O_TRUNC empties. */
  int a = open("data", O_WRONLY | O_APPEND, 0);
  CHECK(lseek(a, 0, SEEK_SET) == 0);
  CHECK(write(a, "++", 2) == 2 && lseek(a, 0, SEEK_CUR) == 7);
  close(a);
  say("data: %s\n", get("data"));
  int ro = open("data", O_RDONLY, 0);
  FAILS(write(ro, "x", 1), EBADF);
  FAILS(ftruncate(ro, 0), EINVAL);
  close(ro);
  int t = open("data", O_WRONLY | O_TRUNC, 0);
  FAILS(read(t, buf, 1), EBADF);
  close(t);
  CHECK(stat("data", &st) == 0 && st.st_size == 0);
  FAILS(open("data", 0x40, 0), EINVAL);
  FAILS(open("missing", O_RDONLY, 0), ENOENT);
  FAILS(open("", O_RDONLY, 0), ENOENT);
  say("rw done\n");
}

/* Directories: listing in name order, and the calls on names. */
static void names(void) {
  CHECK(mkdir("d", 0755) == 0);
  FAILS(mkdir("d", 0755), EEXIST);
  CHECK(put("d/b", "bee") == 3 && put("d/a", "ay") == 2 && put("d/c", "") == 0);
  int d = open("d", O_RDONLY, 0);
  char name[64];
  int n;
  say("entries:");
  while ((n = getdirentry(d, name, sizeof name - 1)) > 0) {
    name[n] = 0;
    say(" %s", name);
  }
  say(" (%d)\n", n);
  CHECK(lseek(d, 0, SEEK_SET) == 0);
  FAILS(getdirentry(d, name, 0), ERANGE);
  CHECK(getdirentry(d, name, 1) == 1 && name[0] == '.');
  FAILS(read(d, name, 1), EISDIR);
  FAILS(open("d", O_WRONLY, 0), EISDIR);
  FAILS(getdirentry(0, name, sizeof name), ENOTDIR);
  close(d);
  FAILS(rmdir("d"), ENOTEMPTY);
  FAILS(remove("d"), EISDIR);
  FAILS(open("d/a/x", O_RDONLY, 0), ENOTDIR);
  CHECK(rename("d/a", "d/z") == 0);
  struct stat st;
  FAILS(stat("d/a", &st), ENOENT);
  CHECK(link("d/z", "d/y") == 0);
  FAILS(link("d/z", "d/b"), EEXIST);
  FAILS(link("d", "e"), EISDIR);
  CHECK(stat("d/y", &st) == 0 && st.st_nlink == 2);
  CHECK(symlink("z", "d/s") == 0);
  CHECK(lstat("d/s", &st) == 0 && S_ISLNK(st.st_mode) && st.st_size == 1);
  CHECK(stat("d/s", &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 2);
  char target[8];
  CHECK(readlink("d/s", target, sizeof target) == 1 && target[0] == 'z');
  FAILS(readlink("d/z", target, sizeof target), EINVAL);
  say("through the link: %s\n", get("d/s"));
  /* chdir and __getcwd; the child inherits the directory. */
  char cwd[64];
  CHECK(chdir("d") == 0);
  CHECK(__getcwd(cwd, sizeof cwd) == 2 && strcmp(cwd, "/d") == 0);
  FAILS(__getcwd(cwd, 2), ERANGE);
  FAILS(chdir("z"), ENOTDIR);
  pid_t pid = fork();
  if (pid == 0) _exit(strcmp(get("b"), "bee") == 0 ? 0 : 1);
  CHECK(child_status(pid) == 0);
  CHECK(chdir("..") == 0 && __getcwd(cwd, sizeof cwd) == 1);
  for (const char *f = "bcyzs"; *f; ++f) {
    char path[8] = {'d', '/', *f, 0};
    CHECK(remove(path) == 0);
  }
  FAILS(remove("d/z"), ENOENT);
  CHECK(rmdir("d") == 0);
  FAILS(rmdir("."), EINVAL);
  sync();
  say("names done\n");
}

/* Every way out of the root ends inside it. */
static void escape(void) {
  CHECK(put("inside", "in") == 2);
  CHECK(mkdir("sub", 0755) == 0);
  char cwd[64];
  CHECK(chdir("../../..") == 0 && __getcwd(cwd, sizeof cwd) == 1 && strcmp(cwd, "/") == 0);
  say("dotdot: %s\n", get("/../../../inside"));
  CHECK(symlink("/", "sub/abs") == 0);
  CHECK(symlink("../../../../..", "sub/rel") == 0);
  say("absolute link: %s\n", get("sub/abs/inside"));
  say("relative link: %s\n", get("sub/rel/inside"));
  CHECK(symlink("loop2", "loop1") == 0 && symlink("loop1", "loop2") == 0);
  FAILS(open("loop1", O_RDONLY, 0), EINVAL);
  struct stat st;
  FAILS(stat("loop1", &st), EINVAL);
  CHECK(rename("inside", "../../moved") == 0);
  say("renamed: %s\n", get("/moved"));
  CHECK(link("/moved", "sub/rel/linked") == 0);
  say("linked: %s\n", get("linked"));
  FAILS(open("fifo", O_RDONLY, 0), ENXIO);
  say("escape done\n");
}

/* The program execv runs: says what it was given and kept. */
static void exec_child(int argc, char **argv) {
  char cwd[64] = {0};
  __getcwd(cwd, sizeof cwd);
  char buf[16] = {0};
  int n = (int)read(5, buf, sizeof buf);
  say("exec'd as %s, %d args, cwd %s, fd 5 read %d %s\n", argv[0], argc, cwd, n, buf);
  /* The heap starts afresh where the caller's started, whatever it grew to. */
  char heap[16];
  snprintf(heap, sizeof heap, "%x", (unsigned)(unsigned long)sbrk(0));
  _exit(argc == 3 && strcmp(heap, argv[2]) == 0 && getppid() > 0 ? 7 : 1);
}

/* execv: the failures leave the caller intact; a forked child execs. */
static void exec(void) {
  char heap[16];
  snprintf(heap, sizeof heap, "%x", (unsigned)(unsigned long)sbrk(0));
  CHECK(sbrk(20000) != (void *)-1);
  char *args[] = {"first", "exec_child", heap, 0};
  FAILS(execv("/nothing", args), ENOENT);
  FAILS(execv("/", args), EISDIR);
  CHECK(put("/text", "#!/bin/sh\n") == 10);
  FAILS(execv("/text", args), ENOEXEC);
  char **volatile unmapped = (char **)1;
  FAILS(execv("/prog", unmapped), EFAULT);
  FAILS(execv((char *)unmapped, args), EFAULT);
  static char big[70000];
  memset(big, 'x', sizeof big - 1);
  char *too_big[] = {"first", big, 0};
  FAILS(execv("/prog", too_big), E2BIG);
  CHECK(put("/msg", "kept open") == 9);
  int fd = open("/msg", O_RDONLY, 0);
  CHECK(dup2(fd, 5) == 5);
  CHECK(mkdir("/w", 0755) == 0 && chdir("/w") == 0);
  pid_t pid = fork();
  if (pid == 0) {
    execv("/prog", args);
    _exit(99);
  }
  say("child status %d\n", child_status(pid));
  say("parent still here, offset %d\n", (int)lseek(5, 0, SEEK_CUR));
}

int main(int argc, char **argv) {
  static const struct {
    const char *name;
    void (*run)(void);
  } scenarios[] = {{"rw", rw}, {"names", names}, {"escape", escape}, {"exec", exec}};
  if (argc < 2) return 100;
  if (strcmp(argv[1], "exec_child") == 0) exec_child(argc, argv);
  for (unsigned i = 0; i < sizeof scenarios / sizeof scenarios[0]; ++i) {
    if (strcmp(argv[1], scenarios[i].name) != 0) continue;
    scenarios[i].run();
    return failed_line;
  }
  return 101;
}
