// Pipes: a bounded buffer of PIPE_BUF bytes between a read end and a write
// end.  A reader waits until there are bytes or no write end is left (end
// of file); a writer waits while the pipe is full, and a write with no
// read end left fails with EIO, never a signal, never a wait.
#include <algorithm>
#include <array>

#include "kernel/guest_words.h"
#include "r3k/kernel.h"

namespace r3k {
namespace {

struct Pipe {
  std::array<uint8_t, kPIPE_BUF> ring;
  uint32_t head = 0, size = 0;  // the oldest byte, and how many there are
  bool reader = true, writer = true;
};

class PipeEnd final : public OpenFile {
 public:
  PipeEnd(std::shared_ptr<Pipe> pipe, bool write_end)
      : OpenFile(Kind::Pipe, write_end ? kO_WRONLY : kO_RDONLY), pipe_(std::move(pipe)), write_end_(write_end) {}

  Io read(uint8_t* into, uint32_t len) override {
    Pipe& q = *pipe_;
    if (q.size == 0) return q.writer ? Io{0, kEOK, true} : Io{};
    const uint32_t n = std::min(len, q.size);
    for (uint32_t i = 0; i < n; ++i) into[i] = q.ring[(q.head + i) % kPIPE_BUF];
    q.head = (q.head + n) % kPIPE_BUF;
    q.size -= n;
    return Io{n};
  }
  void unread(const uint8_t* bytes, uint32_t n) override {
    Pipe& q = *pipe_;
    q.head = (q.head + kPIPE_BUF - n) % kPIPE_BUF;
    for (uint32_t i = 0; i < n; ++i) q.ring[(q.head + i) % kPIPE_BUF] = bytes[i];
    q.size += n;
  }
  Io write(const uint8_t* from, uint32_t len, bool atomic) override {
    Pipe& q = *pipe_;
    if (!q.reader) return Io{0, kEIO};
    const uint32_t room = kPIPE_BUF - q.size;
    if (room == 0 || (atomic && room < len)) return Io{0, kEOK, true};
    const uint32_t n = std::min(len, room);
    for (uint32_t i = 0; i < n; ++i) q.ring[(q.head + q.size + i) % kPIPE_BUF] = from[i];
    q.size += n;
    return Io{n};
  }
  fs::Error stat(GuestStat* st) const override {
    *st = GuestStat{};
    st->f_st_mode = kS_IFIFO | 0600;
    st->f_st_nlink = 1;
    st->f_st_blksize = kPIPE_BUF;
    return {};
  }
  void release() override { (write_end_ ? pipe_->writer : pipe_->reader) = false; }
  bool may_block() const override { return true; }
  const void* waitable() const override { return pipe_.get(); }
  std::string describe() const override { return "a pipe"; }

 private:
  std::shared_ptr<Pipe> pipe_;
  bool write_end_;
};

}  // namespace

// Read end in fds[0], write end in fds[1], each the lowest free descriptor.
std::optional<Kernel::Answer> Kernel::do_pipe(Call& c) {
  const uint32_t addr = c.a[0];
  if (!c.p.space->writable(addr, 8)) return error(kEFAULT);
  if (c.p.files.free_count() < 2) return error(kEMFILE);
  if (open_files_ + 2 > kMaxOpenFiles) return error(kENFILE);
  auto pipe = std::make_shared<Pipe>();
  Err err = kEOK;
  const auto rd = install(c.p, std::make_shared<PipeEnd>(pipe, false), &err);
  const auto wr = install(c.p, std::make_shared<PipeEnd>(pipe, true), &err);
  uint8_t words[8];
  put_be32(words, *rd);
  put_be32(words + 4, *wr);
  if (!c.p.space->copy_out(addr, words, 8)) {
    // Only the host memory cap refuses a checked store: undo the pipe.
    drop(c.p.files.take(*wr));
    drop(c.p.files.take(*rd));
    return error(kENOMEM);
  }
  return ok(0);
}

}  // namespace r3k
