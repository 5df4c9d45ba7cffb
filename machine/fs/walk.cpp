// Resolving guest paths inside the tree, one component at a time by
// descriptor: each step opens a single name (never containing a slash)
// relative to the directory reached so far, without following it.  A
// symbolic link's text is read and resolved by the same walk, from the
// root when it is absolute, so it leads nowhere outside; ".." goes back to
// the directory the walk came through, and stays at the root.
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>

#include "fs/fs_internal.h"

namespace r3k::fs {
namespace {

constexpr int kDirFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Pushes text's components on todo so that the first is taken first.
// Empty components (repeated slashes) are dropped; "." stays, since a
// final "." means "this directory".
void push_components(std::string_view text, std::vector<std::string>& todo) {
  size_t end = text.size();
  while (end > 0) {
    const size_t slash = text.find_last_of('/', end - 1);
    const size_t begin = slash == std::string_view::npos ? 0 : slash + 1;
    if (begin < end) todo.emplace_back(text.substr(begin, end - begin));
    if (slash == std::string_view::npos) break;
    end = slash;
  }
}

struct Level {  // a directory the walk went down into, to come back by ".."
  uint64_t dev, ino;
};

class Walker {
 public:
  explicit Walker(const State& state) : state_(state) {}
  Error start(std::string_view cwd, std::string_view path);
  Result<Lookup> run(Follow follow);

 private:
  int cur() const { return cur_.get() >= 0 ? cur_.get() : state_.root.get(); }
  Error descend(const std::string& name);
  Error ascend();
  Error follow_link(const std::string& name, int saved_errno);
  Result<Lookup> at_dir(bool dots);
  Result<Lookup> at_name(std::string name, Follow follow, bool& followed);
  Lookup result();

  const State& state_;
  Fd cur_;  // the directory reached; none: the root
  std::vector<std::string> names_;
  std::vector<Level> levels_;  // one per name, the directory's identity
  std::vector<std::string> todo_;
  int links_ = 0;
  bool trailing_slash_ = false;
};

Error Walker::start(std::string_view cwd, std::string_view path) {
  if (path.empty()) return {kENOENT, "empty path"};
  if (path.size() > kMaxPath) return {kENAMETOOLONG, "path longer than 1023 bytes"};
  if (path.find('\0') != std::string_view::npos) return {kEINVAL, "NUL inside a path"};
  trailing_slash_ = path.back() == '/' && path.find_first_not_of('/') != std::string_view::npos;
  push_components(path, todo_);
  // cwd is canonical: walking it again costs a step per component but
  // holds no host descriptor per process.
  if (path.front() != '/') push_components(cwd, todo_);
  return {};
}

Result<Lookup> Walker::run(Follow follow) {
  while (!todo_.empty()) {
    std::string comp = std::move(todo_.back());
    todo_.pop_back();
    const bool last = todo_.empty();
    if (comp == "." || comp == "..") {
      if (comp == "..") {
        if (const Error e = ascend(); !e.ok()) return e;
      }
      if (last) return at_dir(true);
      continue;
    }
    if (!last) {
      if (const Error e = descend(comp); !e.ok()) return e;
      continue;
    }
    bool followed = false;
    Result<Lookup> found = at_name(std::move(comp), follow, followed);
    if (!followed || !found.ok()) return found;
  }
  return at_dir(false);
}

Error Walker::descend(const std::string& name) {
  if (state_.empty()) return {kENOENT, "empty tree"};
  const int fd = openat(cur(), name.c_str(), kDirFlags);
  if (fd < 0) return follow_link(name, errno);
  struct stat st;
  if (fstat(fd, &st) != 0) {
    const Error e = errno_error();
    close(fd);
    return e;
  }
  cur_ = Fd(fd);
  names_.push_back(name);
  levels_.push_back({st.st_dev, st.st_ino});
  return {};
}

// Back to the directory the walk came from, if ".." of the current one is
// still that directory; otherwise (the host moved something meanwhile)
// walks down from the root again by the names.
Error Walker::ascend() {
  if (names_.empty()) return {};
  names_.pop_back();
  levels_.pop_back();
  if (names_.empty()) {
    cur_.reset();
    return {};
  }
  Fd up(openat(cur(), "..", kDirFlags));
  struct stat st;
  if (up.get() >= 0 && fstat(up.get(), &st) == 0 && st.st_dev == levels_.back().dev &&
      st.st_ino == levels_.back().ino) {
    cur_ = std::move(up);
    return {};
  }
  std::vector<std::string> names = std::move(names_);
  names_.clear();
  levels_.clear();
  cur_.reset();
  for (const std::string& name : names) {
    const int fd = openat(cur(), name.c_str(), kDirFlags);
    if (fd < 0 || fstat(fd, &st) != 0) {
      const Error e = errno_error();
      if (fd >= 0) close(fd);
      return e;
    }
    cur_ = Fd(fd);
    names_.push_back(name);
    levels_.push_back({st.st_dev, st.st_ino});
  }
  return {};
}

// name could not be entered as a directory (saved_errno): if it is a
// symbolic link, its text takes its place on the walk.
Error Walker::follow_link(const std::string& name, int saved_errno) {
  if (saved_errno != ENOTDIR && saved_errno != ELOOP) return host_error(saved_errno);
  char target[PATH_MAX];
  const ssize_t n = readlinkat(cur(), name.c_str(), target, sizeof target);
  if (n < 0) return host_error(errno == EINVAL ? ENOTDIR : errno);
  if (++links_ > kMaxSymlinks) return {kEINVAL, "more than 32 symbolic links"};
  if (n == 0) return {kENOENT, "empty symbolic link"};
  const std::string_view text(target, static_cast<size_t>(n));
  if (text.front() == '/') {
    cur_.reset();
    names_.clear();
    levels_.clear();
  }
  push_components(text, todo_);
  return {};
}

Lookup Walker::result() {
  Lookup l;
  l.dir = cur();
  l.owned = std::move(cur_);
  l.dir_names = std::move(names_);
  l.trailing_slash = trailing_slash_;
  return l;
}

Result<Lookup> Walker::at_dir(bool dots) {
  Lookup l = result();
  l.dots = dots;
  l.exists = true;
  if (state_.empty()) {
    l.st = empty_root_stat();
  } else if (fstat(l.dir, &l.st) != 0) {
    return errno_error();
  }
  return l;
}

Result<Lookup> Walker::at_name(std::string name, Follow follow, bool& followed) {
  struct stat st;
  if (state_.empty()) {
    errno = ENOENT;
  } else if (fstatat(cur(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISLNK(st.st_mode) && (follow == Follow::Yes || trailing_slash_)) {
      followed = true;
      if (const Error e = follow_link(name, ELOOP); !e.ok()) return e;
      return Error{};
    }
    if (trailing_slash_ && !S_ISDIR(st.st_mode)) return Error{kENOTDIR, "trailing slash on a non-directory"};
    Lookup l = result();
    l.name = std::move(name);
    l.exists = true;
    l.st = st;
    return l;
  }
  if (errno != ENOENT) return errno_error();
  Lookup l = result();
  l.name = std::move(name);
  l.missing = state_.empty() ? Error{kENOENT, "empty tree"} : host_error(ENOENT);
  return l;
}

}  // namespace

std::string Lookup::path() const {
  std::string out;
  for (const std::string& n : dir_names) out += "/" + n;
  if (!name.empty()) out += "/" + name;
  return out.empty() ? "/" : out;
}

Result<Lookup> lookup(const State& state, std::string_view cwd, std::string_view path, Follow follow) {
  Walker walker(state);
  if (const Error e = walker.start(cwd, path); !e.ok()) return e;
  return walker.run(follow);
}

}  // namespace r3k::fs
