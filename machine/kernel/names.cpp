// The calls on names in the guest's file tree (machine/fs): stat, lstat,
// remove, rename, link, mkdir, rmdir, symlink, readlink, chdir, __getcwd
// and sync.  Each path is read from guest memory (EFAULT, ENAMETOOLONG)
// and resolved by the tree against the process's current directory.
#include <algorithm>

#include "kernel/guest_words.h"
#include "kernel/host_file.h"
#include "r3k/kernel.h"

namespace r3k {
namespace {

// The paths of a call's first arguments, or the error reading one gave.
template <size_t N>
Err read_paths(const Process& p, const uint32_t* words, std::string (&out)[N]) {
  for (size_t i = 0; i < N; ++i)
    if (const Err e = read_path(*p.space, words[i], &out[i]); e != kEOK) return e;
  return kEOK;
}

}  // namespace

std::optional<Kernel::Answer> Kernel::do_stat(Call& c) { return stat_path(c, true); }
std::optional<Kernel::Answer> Kernel::do_lstat(Call& c) { return stat_path(c, false); }

std::optional<Kernel::Answer> Kernel::stat_path(Call& c, bool follow) {
  std::string path[1];
  if (const Err e = read_paths(c.p, c.a, path); e != kEOK) return error(e);
  if (!c.p.space->writable(c.a[1], kStatSize)) return error(kEFAULT);
  const fs::Result<fs::Stat> r = follow ? tree_->stat(c.p.cwd, path[0]) : tree_->lstat(c.p.cwd, path[0]);
  if (!r.ok()) return failed(c, r.error);
  GuestStat st = guest_stat(r.value);
  stabilize(st);
  const auto bytes = encode_stat(st);
  if (!c.p.space->copy_out(c.a[1], bytes.data(), kStatSize)) return error(kEFAULT);
  return ok(0);
}

// The calls that change names answer 0 or the tree's error.
#define R3K_NAME_CALL(handler, paths, act)                                    \
  std::optional<Kernel::Answer> Kernel::handler(Call& c) {                    \
    std::string path[paths];                                                  \
    if (const Err e = read_paths(c.p, c.a, path); e != kEOK) return error(e); \
    const fs::Error r = act;                                                  \
    return r.ok() ? ok(0) : failed(c, r);                                     \
  }
R3K_NAME_CALL(do_remove, 1, tree_->remove(c.p.cwd, path[0]))
R3K_NAME_CALL(do_rename, 2, tree_->rename(c.p.cwd, path[0], path[1]))
R3K_NAME_CALL(do_link, 2, tree_->link(c.p.cwd, path[0], path[1]))
R3K_NAME_CALL(do_mkdir, 1, tree_->mkdir(c.p.cwd, path[0], c.a[1] & 07777))
R3K_NAME_CALL(do_rmdir, 1, tree_->rmdir(c.p.cwd, path[0]))
R3K_NAME_CALL(do_symlink, 2, tree_->symlink(c.p.cwd, path[0], path[1]))
#undef R3K_NAME_CALL

// The target without a terminator, cut to len, as Unix does; len 0 is
// EINVAL, as Linux has it.
std::optional<Kernel::Answer> Kernel::do_readlink(Call& c) {
  std::string path[1];
  if (const Err e = read_paths(c.p, c.a, path); e != kEOK) return error(e);
  const uint32_t addr = c.a[1], len = c.a[2];
  if (static_cast<int32_t>(len) <= 0) return error(kEINVAL);
  const fs::Result<std::string> r = tree_->readlink(c.p.cwd, path[0]);
  if (!r.ok()) return failed(c, r.error);
  const uint32_t n = std::min(len, static_cast<uint32_t>(r.value.size()));
  if (!c.p.space->copy_out(addr, r.value.data(), n)) return error(kEFAULT);
  return ok(n);
}

std::optional<Kernel::Answer> Kernel::do_chdir(Call& c) {
  std::string path[1];
  if (const Err e = read_paths(c.p, c.a, path); e != kEOK) return error(e);
  fs::Result<std::string> r = tree_->chdir(c.p.cwd, path[0]);
  if (!r.ok()) return failed(c, r.error);
  c.p.cwd = std::move(r.value);
  return ok(0);
}

// The path and its NUL, or ERANGE when both do not fit in len.
std::optional<Kernel::Answer> Kernel::do_getcwd(Call& c) {
  const uint32_t addr = c.a[0], len = c.a[1];
  const std::string& cwd = c.p.cwd;
  if (len < cwd.size() + 1) return error(kERANGE);
  if (!c.p.space->copy_out(addr, cwd.c_str(), static_cast<uint32_t>(cwd.size() + 1))) return error(kEFAULT);
  return ok(static_cast<uint32_t>(cwd.size()));
}

std::optional<Kernel::Answer> Kernel::do_sync(Call&) {
  tree_->sync();
  return ok(0);
}

std::optional<Kernel::Answer> Kernel::no_such_call(Call&) { return error(kENOSYS); }

}  // namespace r3k
