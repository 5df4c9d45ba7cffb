// r3krun's own host output: every byte it writes to a host descriptor (the
// guests' writes to 1 and 2, trace lines, its one-line reports) goes
// through one Console, so the bytes keep the order they were written in.
// Consecutive writes to the same descriptor are gathered into one host
// write; anything else goes out first: a write to another descriptor, a
// full buffer, an explicit flush, and tick() once the oldest byte has
// waited kInterval, so what a person sees keeps its order and timing.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

namespace r3k {

// Writes all of bytes to fd, retrying short writes and EINTR; gives up
// silently when the descriptor is gone (a closed pipe must not stop a run).
void write_all(int fd, const void* bytes, size_t len);

class Console {
 public:
  static constexpr size_t kCapacity = 64u << 10;
  static constexpr std::chrono::milliseconds kInterval{20};

  // The one for this process's descriptors.
  static Console& host();

  Console() : buffer_(std::make_unique<uint8_t[]>(kCapacity)) {}
  ~Console() { flush(); }
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  void write(int fd, const void* bytes, size_t len) {
    // The common case inline: more bytes for the descriptor being gathered
    // (a guest printing byte by byte: one byte).
    if (fd == fd_ && len <= kCapacity - size_ && size_ != 0) {
      if (len == 1) buffer_[size_] = *static_cast<const uint8_t*>(bytes);
      else std::memcpy(&buffer_[size_], bytes, len);
      size_ += len;
    } else {
      write_slow(fd, bytes, len);
    }
  }
  void write(int fd, std::string_view text) { write(fd, text.data(), text.size()); }
  // A whole line of r3krun's own: text, then a newline.
  void line(int fd, std::string_view text);
  void flush();
  // Flushes when the oldest pending byte has waited kInterval; cheap
  // enough for every scheduler slice.
  void tick();

  size_t pending() const { return size_; }
  uint64_t host_writes() const { return host_writes_; }

 private:
  using Clock = std::chrono::steady_clock;

  void write_slow(int fd, const void* bytes, size_t len);

  std::unique_ptr<uint8_t[]> buffer_;  // kCapacity bytes, size_ of them pending
  size_t size_ = 0;
  int fd_ = -1;  // the descriptor buffer_ is for
  Clock::time_point since_;
  uint64_t host_writes_ = 0;
};

}  // namespace r3k
