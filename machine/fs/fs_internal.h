// What the file tree's units share: a descriptor owner, the disk quota,
// the tree's state and the path walker.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "r3k/fs.h"

namespace r3k::fs {

// Owns one host descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void reset();

 private:
  int fd_ = -1;
};

// Bytes the run has added to the host's disk: file growth and kNodeCost
// per name made.  Each host file's share is remembered, so that shrinking
// it or removing its last name gives back what the run added to it and
// never more: removing a file the run did not make frees no quota.
class Quota {
 public:
  explicit Quota(uint64_t max) : max_(max) {}
  uint64_t max() const { return max_; }
  uint64_t used() const { return used_; }
  uint64_t room() const { return used_ < max_ ? max_ - used_ : 0; }
  // Takes bytes, all or nothing: ENOSPC when they do not fit.
  Error take(uint64_t bytes);
  void give(uint64_t bytes) { used_ -= bytes < used_ ? bytes : used_; }
  // Files bytes already taken under the host file st describes.
  void credit(const struct stat& st, uint64_t bytes);
  // The file shrank by bytes: gives back up to what the run added to it.
  void shrink(const struct stat& st, uint64_t bytes);
  // The file's last name is gone: gives back all the run added to it.
  void forget(const struct stat& st);

 private:
  struct Key {
    uint64_t dev, ino;
    bool operator==(const Key&) const = default;
  };
  struct KeyHash {
    size_t operator()(const Key& k) const { return std::hash<uint64_t>()(k.ino * 31 + k.dev); }
  };
  uint64_t max_;
  uint64_t used_ = 0;
  std::unordered_map<Key, uint64_t, KeyHash> added_;
};

struct State {
  Fd root;  // O_PATH descriptor of the host directory; none for the empty tree
  uint64_t root_dev = 0, root_ino = 0;
  bool read_only = true;
  Quota quota{0};
  bool empty() const { return root.get() < 0; }
};

inline Error read_only_error() { return {kEIO, "read-only tree"}; }
// host_error(errno), for the call that just failed.
Error errno_error();
Stat to_stat(const struct stat& st);
// The empty tree's "/".
struct stat empty_root_stat();
// ENXIO naming the kind of special file, for one that is neither a
// regular file nor a directory.
Error special_error(mode_t mode);

// Where a path leads: the directory holding its final name, and the name.
struct Lookup {
  Fd owned;                            // dir, when it is not the root's own descriptor
  int dir = -1;                        // O_PATH directory holding name; -1: the empty tree's root
  std::vector<std::string> dir_names;  // dir's canonical components below "/"
  // The final name; empty when the path ends at dir itself: "/" (no
  // component at all) or a last component "." or "..".
  std::string name;
  bool dots = false;  // the path's last component was "." or ".."
  bool trailing_slash = false;
  bool exists = false;  // name (or dir, when name is empty) exists: st describes it
  struct stat st {};
  Error missing;             // what a call needing the name answers when it does not exist
  std::string path() const;  // the canonical guest path of name (of dir when empty)
};

enum class Follow : uint8_t { No, Yes };

// Resolves path (absolute, or relative to the canonical cwd) inside the
// tree.  Every component but the last must lead to a directory; symbolic
// links on the way are followed, their text resolved inside the tree; the
// last one too when follow says so or the path ends in a slash (which also
// requires a directory).  A final name that does not exist is no error.
Result<Lookup> lookup(const State& state, std::string_view cwd, std::string_view path, Follow follow);

}  // namespace r3k::fs
