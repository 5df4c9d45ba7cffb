// Names and directories: mkdir, rmdir, rename, remove, link,
// symlink/readlink, getdirentry, chdir/__getcwd, stat/lstat.
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "check.h"

using kit::expect_eq;
using kit::expect_eq64;
using kit::expect_err;
using kit::expect_ok;

namespace {

kit::Scratch tmp;

void make_file(const char* path, const char* text) {
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd != -1) {
    write(fd, text, strlen(text));
    close(fd);
  }
}

void directories() {
  const char* d = tmp.at("d");
  expect_eq("mkdir", mkdir(d, 0755), 0);
  expect_err("mkdir-exists", mkdir(d, 0755), EEXIST);
  struct stat st;
  memset(&st, 0, sizeof st);
  expect_eq("stat-directory", stat(d, &st), 0);
  kit::check("stat-directory-type", S_ISDIR(st.st_mode), "S_IFDIR", "another type");
  make_file(tmp.at("d/inner"), "x");
  expect_err("rmdir-not-empty", rmdir(d), ENOTEMPTY);
  expect_err("remove-directory", remove(d), EISDIR);
  expect_err("rmdir-file", rmdir(tmp.at("d/inner")), ENOTDIR);
  remove(tmp.at("d/inner"));
  expect_eq("rmdir", rmdir(d), 0);
  expect_err("stat-removed", stat(d, &st), ENOENT);
}

// Entries in byte order of their names, . and .. included, none skipped.
void listing() {
  const char* d = tmp.at("list");
  mkdir(d, 0755);
  make_file(tmp.at("list/b"), "b");
  make_file(tmp.at("list/a"), "a");
  make_file(tmp.at("list/c"), "c");
  const int fd = open(d, O_RDONLY);
  if (!expect_ok("open-directory", fd)) return;
  char all[64] = {}, name[32];
  int n, len = 0;
  while ((n = getdirentry(fd, name, sizeof name)) > 0 && len + n + 1 < int(sizeof all)) {
    memcpy(all + len, name, n);
    len += n;
    all[len++] = ' ';
  }
  all[len] = 0;
  kit::check("getdirentry-all-in-order", strcmp(all, ". .. a b c ") == 0, ". .. a b c ", all);
  expect_eq("getdirentry-end", n, 0);
  expect_eq64("getdirentry-rewind", lseek(fd, 0, SEEK_SET), 0);
  expect_eq("getdirentry-after-rewind", getdirentry(fd, name, sizeof name), 1);
  expect_err("getdirentry-short-buffer", getdirentry(fd, name, 1), ERANGE);
  expect_eq("getdirentry-after-erange", getdirentry(fd, name, sizeof name), 2);
  close(fd);
  const int file = open(tmp.at("list/a"), O_RDONLY);
  expect_err("getdirentry-not-directory", getdirentry(file, name, sizeof name), ENOTDIR);
  close(file);
  remove(tmp.at("list/a"));
  remove(tmp.at("list/b"));
  remove(tmp.at("list/c"));
  rmdir(d);
}

void renames_and_links() {
  const char* a = tmp.at("a");
  const char* b = tmp.at("b");
  make_file(a, "first");
  expect_eq("rename", rename(a, b), 0);
  struct stat st;
  expect_err("rename-old-name-gone", stat(a, &st), ENOENT);
  expect_eq("rename-new-name", stat(b, &st), 0);
  expect_eq64("rename-keeps-contents", st.st_size, 5);
  make_file(a, "second!");
  expect_eq("rename-over-existing", rename(a, b), 0);
  stat(b, &st);
  expect_eq64("rename-replaced", st.st_size, 7);
  expect_err("rename-missing", rename(a, b), ENOENT);

  const char* l = tmp.at("l");
  expect_eq("link", link(b, l), 0);
  struct stat sl;
  stat(b, &st);
  stat(l, &sl);
  expect_eq("link-two-names", st.st_nlink, 2);
  kit::check("link-same-file", st.st_ino == sl.st_ino, "the same st_ino", "another");
  expect_err("link-exists", link(b, l), EEXIST);
  expect_eq("remove", remove(l), 0);
  stat(b, &st);
  expect_eq("remove-drops-link", st.st_nlink, 1);
  expect_err("remove-missing", remove(l), ENOENT);
}

void symlinks() {
  const char* s = tmp.at("s");
  expect_eq("symlink", symlink("b", s), 0);
  char buf[16];
  memset(buf, '#', sizeof buf);
  expect_eq("readlink", readlink(s, buf, sizeof buf), 1);
  kit::check("readlink-target", buf[0] == 'b' && buf[1] == '#', "b, unterminated", buf);
  struct stat st;
  lstat(s, &st);
  kit::check("lstat-link", S_ISLNK(st.st_mode), "S_IFLNK", "another type");
  expect_eq64("lstat-link-size", st.st_size, 1);
  stat(s, &st);
  kit::check("stat-follows-link", S_ISREG(st.st_mode) && st.st_size == 7, "the regular file", "something else");
  expect_err("readlink-not-link", readlink(tmp.at("b"), buf, sizeof buf), EINVAL);
  const char* loop = tmp.at("loop");
  symlink("loop", loop);
  expect_err("symlink-loop", stat(loop, &st), EINVAL);
  remove(loop);
  expect_eq("remove-symlink", remove(s), 0);
  expect_eq("remove-symlink-keeps-target", stat(tmp.at("b"), &st), 0);
  remove(tmp.at("b"));
}

void current_directory() {
  char before[256], inside[256];
  const int n = __getcwd(before, sizeof before);
  kit::check("getcwd", n > 0 && before[0] == '/', "an absolute path", n > 0 ? before : "-1");
  if (n <= 0) return;
  expect_eq("getcwd-length", n, int(strlen(before)));
  expect_eq("chdir", chdir(tmp.dir), 0);
  const int m = __getcwd(inside, sizeof inside);
  const char* tail = nullptr;
  for (int i = 0; i < m; ++i)
    if (inside[i] == '/') tail = inside + i;
  kit::check("chdir-getcwd", tail && strcmp(tail + 1, tmp.dir) == 0, tmp.dir, m > 0 ? inside : "-1");
  expect_err("getcwd-short-buffer", __getcwd(inside, 2), ERANGE);
  make_file("here", "h");
  struct stat st;
  char path[200];
  snprintf(path, sizeof path, "../%s/here", tmp.dir);
  expect_eq("relative-path", stat(path, &st), 0);
  remove("here");
  expect_eq("chdir-back", chdir(".."), 0);
  __getcwd(inside, sizeof inside);
  kit::check("chdir-back-getcwd", strcmp(inside, before) == 0, before, inside);
  expect_err("chdir-missing", chdir(tmp.at("none")), ENOENT);
  make_file(tmp.at("file"), "");
  expect_err("chdir-file", chdir(tmp.at("file")), ENOTDIR);
  expect_err("stat-through-file", stat(tmp.at("file/x"), &st), ENOTDIR);
  remove(tmp.at("file"));
  expect_err("rmdir-root", rmdir("/"), EBUSY);
}

}  // namespace

int main() {
  if (!expect_eq("scratch-directory", tmp.make("names") ? 0 : -1, 0)) return kit::done();
  directories();
  listing();
  renames_and_links();
  symlinks();
  current_directory();
  expect_eq("cleanup-directory", rmdir(tmp.dir), 0);
  struct stat st;
  expect_err("cleanup-leaves-nothing", stat(tmp.dir, &st), ENOENT);
  return kit::done();
}
