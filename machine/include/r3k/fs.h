// The guest's file tree: a sandbox between the kernel and the host.  The
// guest's "/" is one host directory (or nothing at all: the empty tree),
// and every guest path is resolved inside it by descriptors, one component
// at a time, so no path, "..", symbolic link, rename or link reaches
// outside it.  Every answer is one of the guest's error numbers, with the
// reason behind it (the host errno's name, or the layer's own) for the
// trace.  The kernel owns processes, descriptors, offsets and guest
// memory; this layer owns paths, host files and the disk quota.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "r3k/abi.h"

namespace r3k::fs {

// Longest guest path, its terminator not counted (PATH_MAX counts it):
// longer ones, and the target text of a symbolic link, are ENAMETOOLONG.
// A current directory is at most as long, so __getcwd never needs more
// than PATH_MAX bytes.
inline constexpr size_t kMaxPath = kPATH_MAX - 1;
// Symbolic links followed while resolving one path; one more is EINVAL.
inline constexpr int kMaxSymlinks = kSYMLOOP_MAX;
// The reasons given for both name the numbers.
static_assert(kMaxPath == 1023 && kMaxSymlinks == 32, "update the reasons in walk.cpp and tree.cpp");
// Names one directory listing holds (dot entries included) and their bytes;
// a bigger directory cannot be listed (ENOMEM).
inline constexpr size_t kMaxListEntries = size_t{1} << 16;
inline constexpr size_t kMaxListBytes = size_t{4} << 20;
// What a new file, directory, symbolic link or hard link costs against the
// disk quota, besides its bytes: about a block and an entry on the host.
inline constexpr uint64_t kNodeCost = 4096;
// The quota when none is given: this, or half the free space of the root's
// file system at start if that is less.
inline constexpr uint64_t kDefaultMaxDisk = uint64_t{1} << 30;

// An answer: a guest error number (kEOK for success) and what lies behind a
// failure, for the trace: the mapped host errno's name ("EACCES") or the
// layer's reason ("read-only tree").  why is a static string.
struct Error {
  Err err = kEOK;
  std::string_view why;
  bool ok() const { return err == kEOK; }
};

// The one table from host errno to guest error number: every host failure
// goes through it; numbers it does not list are EIO.
Error host_error(int host_errno);

template <class T>
struct Result {
  Result(T v) : value(std::move(v)) {}  // NOLINT: implicit on purpose
  Result(Error e) : error(e) {}         // NOLINT
  T value{};
  Error error;
  bool ok() const { return error.ok(); }
};

enum class Type : uint8_t { Regular, Directory, Symlink, CharDevice, BlockDevice, Fifo, Socket };

// What stat reports, before the kernel lays it out for the guest (which
// takes the type's S_IF bits from the shared values).  Counts are clamped
// to the guest's 32-bit fields; dev is the host device number's low bits.
struct Stat {
  uint64_t ino = 0;
  int64_t size = 0;
  int64_t atime = 0, mtime = 0, ctime = 0;  // seconds
  uint32_t dev = 0;
  Type type = Type::Regular;
  uint32_t perm = 0;  // mode & 07777
  uint32_t nlink = 0;
  uint32_t blocks = 0;  // 512-byte units
  uint32_t blksize = 0;
};

enum class Access : uint8_t { Read, Write, ReadWrite };

// open's flags, decoded by the kernel from the guest's O_* bits.
struct OpenFlags {
  Access access = Access::Read;
  bool create = false, exclusive = false, truncate = false;
};

struct State;   // the tree's host directory, mode and quota, shared with its open files
struct Lookup;  // where a path led

// An open host file or directory.  Offsets are the caller's (the kernel's
// open file keeps one, shared by dup2 and fork); every call takes the
// position it acts at.  Buffers are host memory of any size the caller
// chooses; the kernel passes guest memory a page or so at a time.
class File {
 public:
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  bool is_directory() const { return directory_; }
  Access access() const { return access_; }

  // Bytes read at offset (0 at or past the end).  EISDIR on a directory.
  Result<size_t> read(uint64_t offset, std::span<uint8_t> out);
  // Bytes written at offset; a write that would grow the run's disk use
  // past the quota writes what fits, or fails with ENOSPC when nothing does.
  Result<size_t> write(uint64_t offset, std::span<const uint8_t> in);
  // The same at the end of the file; also the offset after the bytes
  // written, where O_APPEND leaves the descriptor.
  struct Appended {
    size_t bytes = 0;
    uint64_t end = 0;
  };
  Result<Appended> append(std::span<const uint8_t> in);
  Result<Stat> stat() const;
  Error sync();
  // EINVAL for a directory or a file not open for writing.
  Error truncate(uint64_t length);

  // The name at index of the directory's entries in byte order, "." and
  // ".." included; empty past the last.  The names are a snapshot taken
  // when index 0 is asked for (or the first time one is), so the indexes
  // stay put while the directory changes.  ENOTDIR on a file.
  Result<std::string_view> entry(uint64_t index);

 private:
  friend class Tree;
  File(std::shared_ptr<State> state, int fd, bool directory, Access access);
  Error snapshot();
  bool add_name(std::string_view name);

  std::shared_ptr<State> state_;
  int fd_ = -1;  // -1: the empty tree's root
  bool directory_ = false;
  Access access_ = Access::Read;
  std::string names_;            // the snapshot's names, back to back
  std::vector<uint32_t> order_;  // offsets into names_, in name order; empty: no snapshot
};

// How --root DIR[:ro] could not be used: one line naming the directory.
class SetupError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The guest's tree.  Paths are guest paths: absolute, or relative to cwd,
// which is a process's current directory as chdir returned it (canonical:
// absolute, no ".", "..", symbolic link or repeated slash).
class Tree {
 public:
  // "DIR" or "DIR:ro" (read-only); "DIR:rw" says writable explicitly, for a
  // directory whose own name ends in ":ro".  max_disk: bytes the run may
  // add to the host's disk (default: see kDefaultMaxDisk).  Throws
  // SetupError naming DIR when it is not a directory that can be opened.
  static std::unique_ptr<Tree> open_root(std::string_view root, std::optional<uint64_t> max_disk = std::nullopt);
  // A tree with nothing but an empty, read-only "/".
  static std::unique_ptr<Tree> empty();
  ~Tree();
  Tree(const Tree&) = delete;
  Tree& operator=(const Tree&) = delete;

  bool read_only() const;
  uint64_t max_disk() const;
  uint64_t disk_used() const;  // bytes the run has added, by the quota's count

  // A directory opens with Access::Read only (EISDIR otherwise); a device,
  // FIFO or socket does not open at all (ENXIO).  mode: permission bits of
  // a created file (the host's umask applies).
  Result<std::unique_ptr<File>> open(std::string_view cwd, std::string_view path, OpenFlags flags, uint32_t mode);
  Result<Stat> stat(std::string_view cwd, std::string_view path);
  Result<Stat> lstat(std::string_view cwd, std::string_view path);
  Error remove(std::string_view cwd, std::string_view path);
  Error rename(std::string_view cwd, std::string_view from, std::string_view to);
  Error link(std::string_view cwd, std::string_view from, std::string_view to);
  Error mkdir(std::string_view cwd, std::string_view path, uint32_t mode);
  Error rmdir(std::string_view cwd, std::string_view path);
  // The target text is stored as given, whatever it names.
  Error symlink(std::string_view cwd, std::string_view target, std::string_view path);
  Result<std::string> readlink(std::string_view cwd, std::string_view path);
  // The canonical guest path of the directory path names: the process's
  // new current directory.
  Result<std::string> chdir(std::string_view cwd, std::string_view path);
  Error sync();
  // The whole of a regular file, for execv: EISDIR for a directory,
  // ENOEXEC for a special file or one longer than max_bytes.
  Result<std::vector<uint8_t>> read_executable(std::string_view cwd, std::string_view path, size_t max_bytes);

 private:
  explicit Tree(std::shared_ptr<State> state);
  Error writable() const;
  Result<std::unique_ptr<File>> create(const Lookup& at, OpenFlags flags, uint32_t mode);
  std::shared_ptr<State> state_;
};

}  // namespace r3k::fs
