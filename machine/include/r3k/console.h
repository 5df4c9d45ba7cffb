// r3krun's own host output: every byte it writes to a host descriptor (the
// guests' writes to 1 and 2, trace lines, its one-line reports) goes
// through one Console, so the bytes keep the order they were written in.
// Consecutive writes to the same descriptor are gathered into one host
// write; anything else goes out first: a write to another descriptor, a
// full buffer, an explicit flush, and tick() once the oldest byte has
// waited kInterval, so what a person sees keeps its order and timing.
//
// Nothing is dropped on the host's account: a descriptor that cannot take
// more now (EAGAIN) is waited for; one that refuses for good (ENOSPC,
// EPIPE, EIO, ...) is remembered as refused, and whoever runs the machine
// ends the run and reports it (refusal(), refusal_line()).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace r3k {

// Writes all of bytes to fd, retrying short writes and EINTR and waiting
// (poll) while a non-blocking descriptor is full.  Returns 0 once all is
// written, or the error with which the host refused the rest for good.
int write_all(int fd, const void* bytes, size_t len);

// Text from outside (a path, an option's value, a symbol name) made safe
// for one line of r3krun's own: every byte but printable ASCII becomes
// '?', and text longer than max bytes is cut and ends in "...".
std::string printable(std::string_view text, size_t max = std::string_view::npos);

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

  // What r3krun's lines call fd ("the trace file t.txt"); 1 and 2 are the
  // standard output and error unless named otherwise.
  void name(int fd, std::string what);
  // Writes to fd go nowhere: a descriptor that was closed when r3krun
  // started, which it holds open only so nothing else gets its number.
  void discard(int fd);

  // The first descriptor the host refused for good, and why.  Later writes
  // to it are dropped; other descriptors work on.
  struct Refusal {
    int fd = -1;
    int error = 0;
  };
  const std::optional<Refusal>& refusal() const { return refusal_; }
  // "r3krun: standard output (fd 1): cannot write: No space left on device"
  std::string refusal_line() const;
  // Says refusal_line() on standard error (unless that is what was
  // refused), once however often it is called; false if nothing was refused.
  bool report_refusal();

 private:
  using Clock = std::chrono::steady_clock;

  void write_slow(int fd, const void* bytes, size_t len);
  // One host write of everything given; a refusal is remembered.
  void put(int fd, const void* bytes, size_t len);
  bool dropped(int fd) const { return (refusal_ && refusal_->fd == fd) || discarded_.count(fd) != 0; }

  std::unique_ptr<uint8_t[]> buffer_;  // kCapacity bytes, size_ of them pending
  size_t size_ = 0;
  int fd_ = -1;  // the descriptor buffer_ is for
  Clock::time_point since_;
  uint64_t host_writes_ = 0;
  std::map<int, std::string> names_;
  std::set<int> discarded_;
  std::optional<Refusal> refusal_;
  bool reported_ = false;
};

}  // namespace r3k
