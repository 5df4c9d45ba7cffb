#include "r3k/console.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace r3k {

void write_all(int fd, const void* bytes, size_t len) {
  const auto* p = static_cast<const uint8_t*>(bytes);
  while (len > 0) {
    const ssize_t n = ::write(fd, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    len -= static_cast<size_t>(n);
  }
}

Console& Console::host() {
  static Console console;
  return console;
}

void Console::write_slow(int fd, const void* bytes, size_t len) {
  if (len == 0) return;
  if (fd != fd_ || size_ + len > kCapacity) flush();
  if (len >= kCapacity) {
    ++host_writes_;
    write_all(fd, bytes, len);
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
  ++host_writes_;
  write_all(fd_, buffer_.get(), size_);
  size_ = 0;
}

void Console::tick() {
  if (size_ != 0 && Clock::now() - since_ >= kInterval) flush();
}

}  // namespace r3k
