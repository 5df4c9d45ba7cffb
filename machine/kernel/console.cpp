#include "r3k/console.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace r3k {

int write_all(int fd, const void* bytes, size_t len) {
  const auto* p = static_cast<const uint8_t*>(bytes);
  while (len > 0) {
    const ssize_t n = ::write(fd, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // A non-blocking descriptor whose reader is behind: wait for room
      // (never spin).  A reader that is gone shows as an error at the
      // next write.
      pollfd want{fd, POLLOUT, 0};
      while (::poll(&want, 1, -1) < 0 && errno == EINTR) {
      }
      continue;
    }
    if (n < 0) return errno;
    if (n == 0) return EIO;  // takes nothing and says nothing: as good as refused
    p += n;
    len -= static_cast<size_t>(n);
  }
  return 0;
}

std::string printable(std::string_view text, size_t max) {
  std::string out;
  const std::string_view kept = text.substr(0, max);
  out.reserve(kept.size() + 3);
  for (const char c : kept) out += c >= ' ' && c < 0x7f ? c : '?';
  if (kept.size() < text.size()) out += "...";
  return out;
}

Console& Console::host() {
  static Console console;
  return console;
}

void Console::put(int fd, const void* bytes, size_t len) {
  if (dropped(fd)) return;
  ++host_writes_;
  if (const int error = write_all(fd, bytes, len); error != 0 && !refusal_) refusal_ = Refusal{fd, error};
}

void Console::write_slow(int fd, const void* bytes, size_t len) {
  if (len == 0 || dropped(fd)) return;
  if (fd != fd_ || size_ + len > kCapacity) flush();
  if (len >= kCapacity) {
    put(fd, bytes, len);
    return;
  }
  if (size_ == 0) {
    fd_ = fd;
    since_ = Clock::now();
  }
  std::memcpy(&buffer_[size_], bytes, len);
  size_ += len;
}

void Console::line(int fd, std::string_view text) {
  write(fd, text);
  write(fd, "\n", 1);
}

void Console::flush() {
  if (size_ == 0) return;
  const size_t n = size_;
  size_ = 0;
  put(fd_, buffer_.get(), n);
}

void Console::tick() {
  if (size_ != 0 && Clock::now() - since_ >= kInterval) flush();
}

void Console::name(int fd, std::string what) { names_[fd] = std::move(what); }

void Console::discard(int fd) {
  if (fd == fd_) flush();
  discarded_.insert(fd);
}

std::string Console::refusal_line() const {
  if (!refusal_) return {};
  const int fd = refusal_->fd;
  const auto named = names_.find(fd);
  const std::string what = named != names_.end() ? named->second
                           : fd == 1             ? "standard output"
                           : fd == 2             ? "standard error"
                                                 : "descriptor";
  return "r3krun: " + what + " (fd " + std::to_string(fd) + "): cannot write: " + std::strerror(refusal_->error);
}

bool Console::report_refusal() {
  if (!refusal_) return false;
  if (!std::exchange(reported_, true)) {
    line(2, refusal_line());
    flush();
  }
  return true;
}

}  // namespace r3k
