// The tree's root and the calls on names: each resolves the directory
// holding the final name inside the tree (walk.cpp) and acts on that name
// with a host *at call, so what it changes is inside the tree even if the
// host tree changes meanwhile.
#include <fcntl.h>
#include <limits.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fs/fs_internal.h"

namespace r3k::fs {
namespace {

// A path ending at a directory with no name of its own: "/" (EBUSY) or a
// last component "." or ".." (EINVAL), which rmdir and rename refuse.
Error no_name(const Lookup& l) { return l.dots ? Error{kEINVAL, "path ends in . or .."} : Error{kEBUSY, "the root"}; }

uint64_t default_max_disk(int root) {
  struct statvfs vfs;
  if (fstatvfs(root, &vfs) != 0) return kDefaultMaxDisk;
  const uint64_t half_free = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize / 2;
  return half_free < kDefaultMaxDisk ? half_free : kDefaultMaxDisk;
}

// Takes kNodeCost, makes a name with make (0 or -1 and errno), and files
// the cost under what now has the name.
template <class Make>
Error make_node(State& state, const Lookup& at, Make make) {
  if (const Error e = state.quota.take(kNodeCost); !e.ok()) return e;
  if (make() != 0) {
    const Error e = errno_error();
    state.quota.give(kNodeCost);
    return e;
  }
  struct stat st;
  if (fstatat(at.dir, at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) state.quota.credit(st, kNodeCost);
  return {};
}

// The file st described lost a name: the last one gives its quota back.
void lost_name(State& state, const struct stat& st) {
  if (S_ISDIR(st.st_mode) || st.st_nlink <= 1) state.quota.forget(st);
}

}  // namespace

Tree::Tree(std::shared_ptr<State> state) : state_(std::move(state)) {}
Tree::~Tree() = default;

std::unique_ptr<Tree> Tree::open_root(std::string_view root, std::optional<uint64_t> max_disk) {
  auto state = std::make_shared<State>();
  state->read_only = root.ends_with(":ro");
  if (root.ends_with(":ro") || root.ends_with(":rw")) root.remove_suffix(3);
  const std::string dir(root);
  if (dir.empty()) throw SetupError("root directory: empty name");
  state->root = Fd(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  struct stat st;
  if (state->root.get() < 0 || fstat(state->root.get(), &st) != 0) {
    throw SetupError("root directory " + dir + ": " + std::strerror(errno));
  }
  state->root_dev = st.st_dev;
  state->root_ino = st.st_ino;
  state->quota = Quota(max_disk ? *max_disk : default_max_disk(state->root.get()));
  return std::unique_ptr<Tree>(new Tree(std::move(state)));
}

std::unique_ptr<Tree> Tree::empty() { return std::unique_ptr<Tree>(new Tree(std::make_shared<State>())); }

bool Tree::read_only() const { return state_->read_only; }
uint64_t Tree::max_disk() const { return state_->quota.max(); }
uint64_t Tree::disk_used() const { return state_->quota.used(); }

Error Tree::writable() const { return state_->read_only ? read_only_error() : Error{}; }

Result<Stat> Tree::stat(std::string_view cwd, std::string_view path) {
  Result<Lookup> r = lookup(*state_, cwd, path, Follow::Yes);
  if (!r.ok()) return r.error;
  if (!r.value.exists) return r.value.missing;
  return to_stat(r.value.st);
}

Result<Stat> Tree::lstat(std::string_view cwd, std::string_view path) {
  Result<Lookup> r = lookup(*state_, cwd, path, Follow::No);
  if (!r.ok()) return r.error;
  if (!r.value.exists) return r.value.missing;
  return to_stat(r.value.st);
}

Error Tree::remove(std::string_view cwd, std::string_view path) {
  if (const Error e = writable(); !e.ok()) return e;
  Result<Lookup> r = lookup(*state_, cwd, path, Follow::No);
  if (!r.ok()) return r.error;
  const Lookup& l = r.value;
  if (l.name.empty() || (l.exists && S_ISDIR(l.st.st_mode))) return {kEISDIR, "a directory: rmdir removes it"};
  if (!l.exists) return l.missing;
  if (unlinkat(l.dir, l.name.c_str(), 0) != 0) return errno_error();
  lost_name(*state_, l.st);
  return {};
}

Error Tree::rmdir(std::string_view cwd, std::string_view path) {
  if (const Error e = writable(); !e.ok()) return e;
  Result<Lookup> r = lookup(*state_, cwd, path, Follow::No);
  if (!r.ok()) return r.error;
  const Lookup& l = r.value;
  if (l.name.empty()) return no_name(l);
  if (!l.exists) return l.missing;
  if (unlinkat(l.dir, l.name.c_str(), AT_REMOVEDIR) != 0) {
    // Some file systems say EEXIST for a directory that is not empty.
    return errno == EEXIST ? Error{kENOTEMPTY, "EEXIST"} : errno_error();
  }
  lost_name(*state_, l.st);
  return {};
}

Error Tree::mkdir(std::string_view cwd, std::string_view path, uint32_t mode) {
  if (const Error e = writable(); !e.ok()) return e;
  Result<Lookup> r = lookup(*state_, cwd, path, Follow::No);
  if (!r.ok()) return r.error;
  const Lookup& l = r.value;
  if (l.exists) return {kEEXIST, "EEXIST"};
  return make_node(*state_, l, [&] { return mkdirat(l.dir, l.name.c_str(), mode & 0777); });
}

Error Tree::symlink(std::string_view cwd, std::string_view target, std::string_view path) {
  if (const Error e = writable(); !e.ok()) return e;
  if (target.empty()) return {kENOENT, "empty target"};
  if (target.size() > kMaxPath) return {kENAMETOOLONG, "target longer than 1023 bytes"};
  if (target.find('\0') != std::string_view::npos) return {kEINVAL, "NUL inside a path"};
  Result<Lookup> r = lookup(*state_, cwd, path, Follow::No);
  if (!r.ok()) return r.error;
  const Lookup& l = r.value;
  if (l.exists) return {kEEXIST, "EEXIST"};
  if (l.trailing_slash) return {kENOTDIR, "trailing slash on a non-directory"};
  const std::string text(target);
  return make_node(*state_, l, [&] { return symlinkat(text.c_str(), l.dir, l.name.c_str()); });
}

Result<std::string> Tree::readlink(std::string_view cwd, std::string_view path) {
  Result<Lookup> r = lookup(*state_, cwd, path, Follow::No);
  if (!r.ok()) return r.error;
  const Lookup& l = r.value;
  if (!l.exists) return l.missing;
  if (l.name.empty() || !S_ISLNK(l.st.st_mode)) return Error{kEINVAL, "not a symbolic link"};
  char text[PATH_MAX];
  const ssize_t n = readlinkat(l.dir, l.name.c_str(), text, sizeof text);
  if (n < 0) return errno_error();
  return std::string(text, static_cast<size_t>(n));
}

Error Tree::link(std::string_view cwd, std::string_view from, std::string_view to) {
  if (const Error e = writable(); !e.ok()) return e;
  Result<Lookup> a = lookup(*state_, cwd, from, Follow::No);
  if (!a.ok()) return a.error;
  if (!a.value.exists) return a.value.missing;
  if (a.value.name.empty() || S_ISDIR(a.value.st.st_mode)) return {kEISDIR, "hard link to a directory"};
  Result<Lookup> b = lookup(*state_, cwd, to, Follow::No);
  if (!b.ok()) return b.error;
  const Lookup& l = b.value;
  if (l.exists) return {kEEXIST, "EEXIST"};
  if (l.trailing_slash) return {kENOTDIR, "trailing slash on a non-directory"};
  return make_node(*state_, l, [&] { return linkat(a.value.dir, a.value.name.c_str(), l.dir, l.name.c_str(), 0); });
}

Error Tree::rename(std::string_view cwd, std::string_view from, std::string_view to) {
  if (const Error e = writable(); !e.ok()) return e;
  Result<Lookup> a = lookup(*state_, cwd, from, Follow::No);
  if (!a.ok()) return a.error;
  if (a.value.name.empty()) return no_name(a.value);
  if (!a.value.exists) return a.value.missing;
  Result<Lookup> b = lookup(*state_, cwd, to, Follow::No);
  if (!b.ok()) return b.error;
  const Lookup& l = b.value;
  if (l.name.empty()) return no_name(l);
  if (l.trailing_slash && !S_ISDIR(a.value.st.st_mode)) return {kENOTDIR, "trailing slash on a non-directory"};
  if (renameat(a.value.dir, a.value.name.c_str(), l.dir, l.name.c_str()) != 0) return errno_error();
  const bool same = l.exists && l.st.st_dev == a.value.st.st_dev && l.st.st_ino == a.value.st.st_ino;
  if (l.exists && !same) lost_name(*state_, l.st);
  return {};
}

Result<std::string> Tree::chdir(std::string_view cwd, std::string_view path) {
  Result<Lookup> r = lookup(*state_, cwd, path, Follow::Yes);
  if (!r.ok()) return r.error;
  const Lookup& l = r.value;
  if (!l.exists) return l.missing;
  if (!S_ISDIR(l.st.st_mode)) return Error{kENOTDIR, "ENOTDIR"};
  std::string canonical = l.path();
  if (canonical.size() > kMaxPath) return Error{kENAMETOOLONG, "directory's path longer than 1023 bytes"};
  return canonical;
}

Error Tree::sync() {
  if (state_->empty()) return {};
  // syncfs wants a descriptor that is more than a path.
  Fd dir(openat(state_->root.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) syncfs(dir.get());
  return {};
}

}  // namespace r3k::fs
