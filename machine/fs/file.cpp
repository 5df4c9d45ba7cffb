// Opening files and what an open file does: reads and writes at an
// offset, growth charged to the disk quota, and directory listings.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "fs/fs_internal.h"

namespace r3k::fs {
namespace {

constexpr uint64_t kMaxOffset = INT64_MAX;

int host_access(Access access) {
  switch (access) {
    case Access::Write: return O_WRONLY;
    case Access::ReadWrite: return O_RDWR;
    default: return O_RDONLY;
  }
}

// Opens the existing name l found, as what l saw: a FIFO would block and a
// device act on being opened, so neither is opened, and the host file
// opened must be the one looked at (O_NONBLOCK keeps a FIFO swapped in
// meanwhile from blocking; the check then refuses it).
Result<Fd> open_found(const Lookup& l, int flags) {
  if (!S_ISREG(l.st.st_mode) && !S_ISDIR(l.st.st_mode)) return special_error(l.st.st_mode);
  if (S_ISDIR(l.st.st_mode)) flags |= O_DIRECTORY;
  const char* name = l.name.empty() ? "." : l.name.c_str();
  Fd fd(openat(l.dir, name, flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.get() < 0) return errno_error();
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return errno_error();
  if (st.st_dev != l.st.st_dev || st.st_ino != l.st.st_ino) return Error{kEAGAIN, "file replaced while opening"};
  return fd;
}

// Writes at offset in the file st describes, charging its growth to the
// quota: as many bytes as fit, ENOSPC when none does.
Result<size_t> write_at(State& state, int fd, const struct stat& st, uint64_t offset, std::span<const uint8_t> in) {
  if (offset > kMaxOffset || in.size() > kMaxOffset - offset) return Error{kEINVAL, "offset past 2^63 - 1"};
  if (in.empty()) return size_t{0};
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  size_t fits = in.size();
  uint64_t taken = 0;
  if (offset + fits > size) {
    const uint64_t limit = size + state.quota.room();  // the largest end that fits
    if (offset >= limit) return Error{kENOSPC, "disk quota reached"};
    fits = static_cast<size_t>(std::min<uint64_t>(fits, limit - offset));
    taken = offset + fits > size ? offset + fits - size : 0;
    state.quota.take(taken);
  }
  ssize_t n;
  do {
    n = pwrite(fd, in.data(), fits, static_cast<off_t>(offset));
  } while (n < 0 && errno == EINTR);
  const Error e = n < 0 ? errno_error() : Error{};
  const uint64_t end = offset + static_cast<uint64_t>(n < 0 ? 0 : n);
  const uint64_t grown = end > size ? end - size : 0;
  state.quota.give(taken - grown);
  state.quota.credit(st, grown);
  if (!e.ok()) return e;
  return static_cast<size_t>(n);
}

}  // namespace

File::File(std::shared_ptr<State> state, int fd, bool directory, Access access)
    : state_(std::move(state)), fd_(fd), directory_(directory), access_(access) {}

File::~File() {
  if (fd_ >= 0) close(fd_);
}

Result<size_t> File::read(uint64_t offset, std::span<uint8_t> out) {
  if (directory_) return Error{kEISDIR, "EISDIR"};
  if (access_ == Access::Write) return Error{kEBADF, "not open for reading"};
  if (offset > kMaxOffset || out.empty()) return size_t{0};
  ssize_t n;
  do {
    n = pread(fd_, out.data(), out.size(), static_cast<off_t>(offset));
  } while (n < 0 && errno == EINTR);
  if (n < 0) return errno_error();
  return static_cast<size_t>(n);
}

Result<size_t> File::write(uint64_t offset, std::span<const uint8_t> in) {
  if (directory_ || access_ == Access::Read) return Error{kEBADF, "not open for writing"};
  struct stat st;
  if (fstat(fd_, &st) != 0) return errno_error();
  return write_at(*state_, fd_, st, offset, in);
}

Result<File::Appended> File::append(std::span<const uint8_t> in) {
  if (directory_ || access_ == Access::Read) return Error{kEBADF, "not open for writing"};
  struct stat st;
  if (fstat(fd_, &st) != 0) return errno_error();
  const uint64_t at = static_cast<uint64_t>(st.st_size);
  const Result<size_t> n = write_at(*state_, fd_, st, at, in);
  if (!n.ok()) return n.error;
  return Appended{n.value, at + n.value};
}

Result<Stat> File::stat() const {
  struct stat st;
  if (fd_ < 0) return to_stat(empty_root_stat());
  if (fstat(fd_, &st) != 0) return errno_error();
  return to_stat(st);
}

Error File::sync() {
  if (fd_ >= 0 && fsync(fd_) != 0) return errno_error();
  return {};
}

Error File::truncate(uint64_t length) {
  if (directory_) return {kEINVAL, "a directory"};
  if (access_ == Access::Read) return {kEINVAL, "not open for writing"};
  if (length > kMaxOffset) return {kEINVAL, "length past 2^63 - 1"};
  struct stat st;
  if (fstat(fd_, &st) != 0) return errno_error();
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  const uint64_t growth = length > size ? length - size : 0;
  if (const Error e = state_->quota.take(growth); !e.ok()) return e;
  if (ftruncate(fd_, static_cast<off_t>(length)) != 0) {
    state_->quota.give(growth);
    return errno_error();
  }
  state_->quota.credit(st, growth);
  if (length < size) state_->quota.shrink(st, size - length);
  return {};
}

Result<std::string_view> File::entry(uint64_t index) {
  if (!directory_) return Error{kENOTDIR, "ENOTDIR"};
  if (index == 0 || order_.empty()) {
    if (const Error e = snapshot(); !e.ok()) return e;
  }
  if (index >= order_.size()) return std::string_view();
  return std::string_view(names_.data() + order_[index]);
}

// Adds one name to the listing being taken; false past the limits.
bool File::add_name(std::string_view name) {
  if (order_.size() >= kMaxListEntries || names_.size() + name.size() + 1 > kMaxListBytes) return false;
  order_.push_back(static_cast<uint32_t>(names_.size()));
  names_.append(name);
  names_.push_back('\0');
  return true;
}

Error File::snapshot() {
  names_.clear();
  order_.clear();
  bool dot = false, dotdot = false;
  if (fd_ >= 0 && lseek(fd_, 0, SEEK_SET) != 0) return errno_error();
  alignas(dirent64) char buf[32768];
  for (ssize_t n; fd_ >= 0 && (n = getdents64(fd_, buf, sizeof buf)) != 0;) {
    if (n < 0) return errno_error();
    for (ssize_t at = 0; at < n;) {
      const auto* d = reinterpret_cast<const dirent64*>(buf + at);
      at += d->d_reclen;
      const std::string_view name(d->d_name);
      dot |= name == ".";
      dotdot |= name == "..";
      if (!add_name(name)) {
        order_.clear();
        return {kENOMEM, "directory too big to list"};
      }
    }
  }
  if ((!dot && !add_name(".")) || (!dotdot && !add_name(".."))) {
    order_.clear();
    return {kENOMEM, "directory too big to list"};
  }
  std::sort(order_.begin(), order_.end(), [this](uint32_t a, uint32_t b) {
    return std::string_view(names_.data() + a) < std::string_view(names_.data() + b);
  });
  return {};
}

Result<std::unique_ptr<File>> Tree::open(std::string_view cwd, std::string_view path, OpenFlags flags, uint32_t mode) {
  const bool changes = flags.access != Access::Read || flags.truncate;
  if (changes && state_->read_only) return read_only_error();
  const bool exclusive = flags.create && flags.exclusive;
  Result<Lookup> r = lookup(*state_, cwd, path, exclusive ? Follow::No : Follow::Yes);
  if (!r.ok()) return r.error;
  const Lookup& l = r.value;
  if (!l.exists && !flags.create) return l.missing;
  if (l.exists && exclusive) return Error{kEEXIST, "EEXIST"};
  if (l.exists && S_ISDIR(l.st.st_mode) && (changes || flags.create)) {
    return Error{kEISDIR, "a directory opens for reading only"};
  }
  if (!l.exists) return create(l, flags, mode);
  if (state_->empty()) return std::unique_ptr<File>(new File(state_, -1, true, Access::Read));
  const int trunc = flags.truncate && S_ISREG(l.st.st_mode) ? O_TRUNC : 0;
  Result<Fd> fd = open_found(l, host_access(flags.access) | trunc);
  if (!fd.ok()) return fd.error;
  if (trunc != 0) state_->quota.shrink(l.st, static_cast<uint64_t>(l.st.st_size));
  return std::unique_ptr<File>(new File(state_, fd.value.release(), S_ISDIR(l.st.st_mode), flags.access));
}

Result<std::unique_ptr<File>> Tree::create(const Lookup& l, OpenFlags flags, uint32_t mode) {
  if (state_->read_only) return read_only_error();
  if (l.trailing_slash) return Error{kEISDIR, "trailing slash on a new file"};
  if (const Error e = state_->quota.take(kNodeCost); !e.ok()) return e;
  const int host_flags = host_access(flags.access) | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  Fd fd(openat(l.dir, l.name.c_str(), host_flags, mode & 0777));
  struct stat st;
  if (fd.get() < 0 || fstat(fd.get(), &st) != 0) {
    const Error e = errno_error();
    state_->quota.give(kNodeCost);
    return e;
  }
  state_->quota.credit(st, kNodeCost);
  return std::unique_ptr<File>(new File(state_, fd.release(), false, flags.access));
}

Result<std::vector<uint8_t>> Tree::read_executable(std::string_view cwd, std::string_view path, size_t max_bytes) {
  Result<Lookup> r = lookup(*state_, cwd, path, Follow::Yes);
  if (!r.ok()) return r.error;
  const Lookup& l = r.value;
  if (!l.exists) return l.missing;
  if (S_ISDIR(l.st.st_mode)) return Error{kEISDIR, "EISDIR"};
  if (!S_ISREG(l.st.st_mode)) return Error{kENOEXEC, "not a regular file"};
  if (static_cast<uint64_t>(l.st.st_size) > max_bytes) return Error{kENOEXEC, "larger than the loader takes"};
  Result<Fd> fd = open_found(l, O_RDONLY);
  if (!fd.ok()) return fd.error;
  std::vector<uint8_t> bytes(static_cast<size_t>(l.st.st_size));
  size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = pread(fd.value.get(), bytes.data() + got, bytes.size() - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno_error();
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  bytes.resize(got);  // it shrank meanwhile: what is there
  return bytes;
}

}  // namespace r3k::fs
