// What a process's descriptors refer to: open files (the console, pipe
// ends, and whatever the file calls open), each shared by every descriptor
// that fork or dup2 made from the same one, with one offset, as in Unix;
// and the per-process table of descriptors.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "r3k/abi.h"
#include "r3k/fs.h"

namespace r3k {

// An open file.  The kernel moves bytes between guest memory and a file
// through bounded host buffers, so a subclass sees host spans only.
class OpenFile {
 public:
  enum class Kind : uint8_t { Console, Pipe, File, Directory };

  OpenFile(Kind kind, uint32_t flags) : kind_(kind), flags_(flags) {}
  virtual ~OpenFile() = default;
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;

  Kind kind() const { return kind_; }
  // As open() was given them: the access mode and O_APPEND.
  uint32_t flags() const { return flags_; }
  bool readable() const { return (flags_ & kO_ACCMODE) != kO_WRONLY; }
  bool writable() const { return (flags_ & kO_ACCMODE) != kO_RDONLY; }
  // Shared by every descriptor referring to this file.
  uint64_t offset = 0;

  // What a transfer did: n bytes moved, or an error, or nothing now
  // because it would have to wait (a pipe, the console's input).
  struct Io {
    Io(uint32_t moved = 0, Err e = kEOK, bool blocks = false, std::string_view reason = {})
        : n(moved), err(e), would_block(blocks), why(reason) {}
    uint32_t n;
    Err err;
    bool would_block;
    std::string_view why;  // behind err, for the trace: the host's errno name or the file tree's reason
  };
  // At most len bytes each.  atomic: all of len or nothing (a pipe write
  // of at most PIPE_BUF bytes).
  virtual Io read(uint8_t* into, uint32_t len);
  virtual Io write(const uint8_t* from, uint32_t len, bool atomic);
  // Puts back the n bytes the last read gave, which the kernel could not
  // store (the host memory cap): nothing is lost.
  virtual void unread(const uint8_t* bytes, uint32_t n);
  // The new offset; ESPIPE where there is none (console, pipes).
  virtual std::optional<int64_t> seek(int64_t pos, uint32_t whence, fs::Error* err);
  virtual fs::Error truncate(int64_t length);
  virtual fs::Error sync();
  virtual fs::Error stat(GuestStat* st) const = 0;
  // The last descriptor referring to it was closed.
  virtual void release() {}

  // Console output: the host descriptor guest writes go to; -1 otherwise.
  virtual int console_out() const { return -1; }
  // Reads or writes may block or wake other processes (a pipe): calls on
  // it stop the CPU's run.
  virtual bool may_block() const { return false; }
  // What processes blocked on this file wait on (shared by both ends of a
  // pipe); null when nothing can block on it.
  virtual const void* waitable() const { return nullptr; }
  // "a pipe", "the console": for the line that reports a deadlock.
  virtual std::string describe() const = 0;

 private:
  Kind kind_;
  uint32_t flags_;
};

// A process's descriptors, 0..OPEN_MAX-1.
class FileTable {
 public:
  static constexpr uint32_t kMax = kOPEN_MAX;

  // Null when fd is not open (or out of range).
  OpenFile* at(int32_t fd) const {
    return fd >= 0 && static_cast<uint32_t>(fd) < fds_.size() ? fds_[static_cast<size_t>(fd)].get() : nullptr;
  }
  std::optional<uint32_t> lowest_free() const;
  uint32_t free_count() const;
  // Puts f at fd (< kMax); returns what was there.
  std::shared_ptr<OpenFile> set(uint32_t fd, std::shared_ptr<OpenFile> f);
  std::shared_ptr<OpenFile> take(uint32_t fd) { return set(fd, nullptr); }
  std::shared_ptr<OpenFile> share(int32_t fd) const { return at(fd) ? fds_[static_cast<size_t>(fd)] : nullptr; }
  // Empties the table; returns what it held.
  std::vector<std::shared_ptr<OpenFile>> take_all();
  // Bit fd (1 or 2) set when fd writes to the console's host descriptor of
  // the same number: the in-place write's one test.
  uint32_t lean() const { return lean_; }

 private:
  std::vector<std::shared_ptr<OpenFile>> fds_;
  uint32_t lean_ = 0;
};

}  // namespace r3k
