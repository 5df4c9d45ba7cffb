// Descriptors and the calls on them: read, write, close, dup2, lseek,
// fsync, ftruncate, fstat, ioctl; the descriptor table; and the console
// behind 0, 1 and 2 (host standard input, output and error).
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "kernel/guest_words.h"
#include "r3k/console.h"
#include "r3k/kernel.h"

namespace r3k {

// ---- open files and the table --------------------------------------------------

OpenFile::Io OpenFile::read(uint8_t*, uint32_t) { return Io{0, kEINVAL, false}; }
OpenFile::Io OpenFile::write(const uint8_t*, uint32_t, bool) { return Io{0, kEINVAL, false}; }
void OpenFile::unread(const uint8_t*, uint32_t) {}
std::optional<int64_t> OpenFile::seek(int64_t, uint32_t, fs::Error* err) {
  *err = {kESPIPE, {}};
  return std::nullopt;
}
fs::Error OpenFile::truncate(int64_t) { return {kEINVAL, "not a regular file"}; }
fs::Error OpenFile::sync() { return {kEINVAL, "not a file"}; }

std::optional<uint32_t> FileTable::lowest_free() const {
  for (uint32_t fd = 0; fd < kMax; ++fd)
    if (at(static_cast<int32_t>(fd)) == nullptr) return fd;
  return std::nullopt;
}

uint32_t FileTable::free_count() const {
  uint32_t used = 0;
  for (const auto& f : fds_) used += f != nullptr;
  return kMax - used;
}

std::shared_ptr<OpenFile> FileTable::set(uint32_t fd, std::shared_ptr<OpenFile> f) {
  if (fd >= fds_.size()) {
    if (f == nullptr) return nullptr;
    fds_.resize(fd + 1);
  }
  const uint32_t bit = fd < 32 ? 1u << fd : 0;
  const bool lean = f != nullptr && (fd == 1 || fd == 2) && f->console_out() == static_cast<int>(fd);
  lean_ = lean ? lean_ | bit : lean_ & ~bit;
  return std::exchange(fds_[fd], std::move(f));
}

std::vector<std::shared_ptr<OpenFile>> FileTable::take_all() {
  lean_ = 0;
  return std::exchange(fds_, {});
}

// What the console's three descriptors share: the host descriptor guest
// reads come from, and bytes a read took but could not store.
struct ConsoleInput {
  int fd = -1;
  std::string held;
};

namespace {

// Host standard input, output or error.  Reads never block the machine:
// with nothing to read the process waits, and the others run.
class ConsoleFile final : public OpenFile {
 public:
  ConsoleFile(int host_fd, uint32_t flags, std::shared_ptr<ConsoleInput> in)
      : OpenFile(Kind::Console, flags), host_fd_(host_fd), in_(std::move(in)) {}

  Io read(uint8_t* into, uint32_t len) override {
    ConsoleInput& in = *in_;
    if (!in.held.empty()) {
      const uint32_t n = std::min<uint32_t>(len, uint32_t(in.held.size()));
      std::copy_n(in.held.data(), n, into);
      in.held.erase(0, n);
      return Io{n};
    }
    if (in.fd < 0) return Io{};  // at its end
    pollfd pfd{in.fd, POLLIN, 0};
    while (::poll(&pfd, 1, 0) < 0)
      if (errno != EINTR) return Io{0, kEIO};
    if (pfd.revents == 0) return Io{0, kEOK, true};
    for (;;) {
      const ssize_t n = ::read(in.fd, into, len);
      if (n >= 0) return Io{static_cast<uint32_t>(n)};
      if (errno == EAGAIN || errno == EWOULDBLOCK) return Io{0, kEOK, true};
      if (errno != EINTR) return Io{0, kEIO};
    }
  }
  void unread(const uint8_t* bytes, uint32_t n) override {
    in_->held.insert(0, reinterpret_cast<const char*>(bytes), n);
  }
  fs::Error stat(GuestStat* st) const override {
    *st = GuestStat{};
    st->f_st_mode = kS_IFCHR | 0620;
    st->f_st_nlink = 1;
    st->f_st_blksize = kPageSize;
    return {};
  }
  int console_out() const override { return writable() ? host_fd_ : -1; }
  std::string describe() const override { return "the console"; }

 private:
  int host_fd_;
  std::shared_ptr<ConsoleInput> in_;
};

}  // namespace

void Kernel::open_console(Process& p) {
  console_in_ = std::make_shared<ConsoleInput>();
  console_in_->fd = opts_.input_fd;
  for (int fd = 0; fd < 3; ++fd) {
    if (std::find(opts_.closed_fds.begin(), opts_.closed_fds.end(), fd) != opts_.closed_fds.end()) continue;
    p.files.set(static_cast<uint32_t>(fd),
                std::make_shared<ConsoleFile>(fd, fd == 0 ? kO_RDONLY : kO_WRONLY, console_in_));
    ++open_files_;
  }
}

std::optional<uint32_t> Kernel::install(Process& p, std::shared_ptr<OpenFile> f, Err* err) {
  const auto fd = p.files.lowest_free();
  if (!fd) {
    *err = kEMFILE;
    return std::nullopt;
  }
  if (open_files_ >= kMaxOpenFiles) {
    *err = kENFILE;
    return std::nullopt;
  }
  p.files.set(*fd, std::move(f));
  ++open_files_;
  return fd;
}

void Kernel::drop(std::shared_ptr<OpenFile> f) {
  if (f == nullptr || f.use_count() > 1) return;
  const void* waitable = f->waitable();
  f->release();
  f.reset();
  --open_files_;
  if (waitable != nullptr) wake(waitable);
}

void Kernel::close_all(Process& p) {
  for (auto& f : p.files.take_all()) drop(std::move(f));
}

// ---- console input ----------------------------------------------------------------

bool Kernel::waits_on_console() const {
  for (const Process* p : live_)
    if (p->state == ProcState::Blocked && p->wait.kind == WaitOn::Kind::Console) return true;
  return false;
}

bool Kernel::await_console(int timeout_ms) {
  if (!waits_on_console()) return false;
  if (console_in_->held.empty()) {
    if (timeout_ms != 0) console_.flush();  // what a person reads before typing
    pollfd pfd{console_in_->fd, POLLIN, 0};
    const int ready = ::poll(&pfd, 1, timeout_ms);
    if (ready < 0 && errno != EINTR) throw std::runtime_error(std::string("poll on the console: ") + strerror(errno));
    if (ready <= 0) return false;
  }
  for (Process* p : live_)
    if (p->state == ProcState::Blocked && p->wait.kind == WaitOn::Kind::Console) wake_process(*p);
  settle();
  for (const Process* p : live_)
    if (p->state == ProcState::Runnable) return true;
  return false;
}

// ---- the calls ----------------------------------------------------------------------

std::optional<Kernel::Answer> Kernel::do_read(Call& c) {
  const int32_t fd = static_cast<int32_t>(c.a[0]);
  const uint32_t addr = c.a[1], len = c.a[2];
  OpenFile* f = c.p.files.at(fd);
  if (f == nullptr || !f->readable()) return error(kEBADF);
  if (len == 0) return ok(0);
  if (!c.p.space->writable(addr, len)) return error(kEFAULT);
  if (f->kind() == OpenFile::Kind::File || f->kind() == OpenFile::Kind::Directory) return read_file(c, *f, addr, len);
  piece_.resize(kPiece);
  const OpenFile::Io r = f->read(piece_.data(), std::min(len, kPiece));
  if (r.err != kEOK) return failed(c, {r.err, r.why});
  if (r.would_block) {
    WaitOn w;
    w.kind = f->kind() == OpenFile::Kind::Console ? WaitOn::Kind::Console : WaitOn::Kind::PipeRead;
    w.fd = fd;
    w.object = f->waitable();
    return block(c, w);
  }
  // A store the host memory cap refuses loses nothing: the bytes go back.
  if (r.n > 0 && !c.p.space->copy_out(addr, piece_.data(), r.n)) {
    f->unread(piece_.data(), r.n);
    return error(kEFAULT);
  }
  if (r.n > 0 && f->waitable() != nullptr) wake(f->waitable());
  return ok(r.n);
}

std::optional<Kernel::Answer> Kernel::do_write(Call& c) {
  const int32_t fd = static_cast<int32_t>(c.a[0]);
  const uint32_t addr = c.a[1], len = c.a[2];
  OpenFile* f = c.p.files.at(fd);
  if (f == nullptr || !f->writable()) return error(kEBADF);
  if (len == 0) return ok(0);
  // The whole buffer first, so a bad one writes nothing.
  if (!readable_buffer(*c.p.space, addr, len)) return error(kEFAULT);
  if (const int host_fd = f->console_out(); host_fd >= 0) return write_console(host_fd, c.p, addr, len);
  return write_file(c, *f, addr, len);
}

Kernel::Answer Kernel::write_console(int host_fd, const Process& p, uint32_t addr, uint32_t len) {
  // Straight from the guest's pages, a page at a time: a huge write costs
  // time, never host memory.
  for (uint32_t done = 0; done < len;) {
    const uint32_t at = addr + done;
    const uint32_t n = std::min(len - done, kPageSize - (at & (kPageSize - 1)));
    const uint8_t* bytes = p.space->read_view(at);
    if (opts_.echo) console_.write(host_fd, bytes, n);
    if (opts_.record && captured_ < opts_.capture_limit) {
      const uint64_t keep = std::min<uint64_t>(n, opts_.capture_limit - captured_);
      outputs_[static_cast<size_t>(host_fd)].append(reinterpret_cast<const char*>(bytes), keep);
      captured_ += keep;
    }
    done += n;
  }
  return ok(len);
}

// Piece by piece through the kernel's buffer.  A blocked write keeps what
// it has written so far in its WaitOn and goes on from there when served
// again; a write of at most PIPE_BUF bytes to a pipe is never split.
std::optional<Kernel::Answer> Kernel::write_file(Call& c, OpenFile& f, uint32_t addr, uint32_t len) {
  uint32_t done = c.p.wait.kind == WaitOn::Kind::PipeWrite ? c.p.wait.done : 0;
  const bool atomic = len <= kPIPE_BUF;
  piece_.resize(kPiece);
  while (done < len) {
    const uint32_t n = std::min(len - done, kPiece);
    c.p.space->copy_in(addr + done, piece_.data(), n);
    const OpenFile::Io r = f.write(piece_.data(), n, atomic);
    if (r.err != kEOK) return done > 0 ? ok(done) : failed(c, {r.err, r.why});
    if (r.would_block) {
      WaitOn w;
      w.kind = WaitOn::Kind::PipeWrite;
      w.fd = static_cast<int32_t>(c.a[0]);
      w.object = f.waitable();
      w.done = done;
      return block(c, w);
    }
    done += r.n;
    if (r.n > 0 && f.waitable() != nullptr) wake(f.waitable());
  }
  return ok(len);
}

// do_write's common case on its own, for a guest printing byte by byte:
// nothing traced, recorded or injected, a descriptor on the console, a
// buffer within one readable page.  False, having done nothing, for the
// rest.
bool Kernel::write_in_place(Process& p, uint32_t* gpr) {
  const uint32_t fd = gpr[regs::a0], addr = gpr[regs::a1], len = gpr[regs::a2];
  if (fd > 2 || !(p.files.lean() >> fd & 1) || len == 0 || !within_page(addr, len)) return false;
  const uint8_t* bytes = p.space->read_view(addr);
  if (bytes == nullptr) return false;
  if (opts_.echo) console_.write(static_cast<int>(fd), bytes, len);
  gpr[regs::a3] = 0;
  gpr[regs::v0] = len;
  gpr[regs::v1] = 0;
  return true;
}

std::optional<Kernel::Answer> Kernel::do_close(Call& c) {
  const int32_t fd = static_cast<int32_t>(c.a[0]);
  if (c.p.files.at(fd) == nullptr) return error(kEBADF);
  drop(c.p.files.take(static_cast<uint32_t>(fd)));
  return ok(0);
}

std::optional<Kernel::Answer> Kernel::do_dup2(Call& c) {
  const int32_t from = static_cast<int32_t>(c.a[0]), to = static_cast<int32_t>(c.a[1]);
  if (c.p.files.at(from) == nullptr || to < 0 || static_cast<uint32_t>(to) >= FileTable::kMax) return error(kEBADF);
  if (from != to) drop(c.p.files.set(static_cast<uint32_t>(to), c.p.files.share(from)));
  return ok(static_cast<uint32_t>(to));
}

std::optional<Kernel::Answer> Kernel::do_lseek(Call& c) {
  OpenFile* f = c.p.files.at(static_cast<int32_t>(c.a[0]));
  if (f == nullptr) return error(kEBADF);
  if (f->kind() == OpenFile::Kind::Console || f->kind() == OpenFile::Kind::Pipe) return error(kESPIPE);
  uint8_t w[4];
  if (!c.p.space->copy_in(c.sp + 16, w, 4)) return error(kEFAULT);
  const uint32_t whence = get_be32(w);
  if (whence > kSEEK_END) return error(kEINVAL);
  const int64_t pos = static_cast<int64_t>(uint64_t{c.a[2]} << 32 | c.a[3]);
  fs::Error err;
  const auto at = f->seek(pos, whence, &err);
  if (!at) return failed(c, err);
  return ok64(*at);
}

std::optional<Kernel::Answer> Kernel::do_fsync(Call& c) {
  OpenFile* f = c.p.files.at(static_cast<int32_t>(c.a[0]));
  if (f == nullptr) return error(kEBADF);
  const fs::Error err = f->sync();
  return err.ok() ? ok(0) : failed(c, err);
}

std::optional<Kernel::Answer> Kernel::do_ftruncate(Call& c) {
  OpenFile* f = c.p.files.at(static_cast<int32_t>(c.a[0]));
  if (f == nullptr) return error(kEBADF);
  const int64_t length = static_cast<int64_t>(uint64_t{c.a[2]} << 32 | c.a[3]);
  if (length < 0 || !f->writable()) return error(kEINVAL);
  const fs::Error err = f->truncate(length);
  return err.ok() ? ok(0) : failed(c, err);
}

std::optional<Kernel::Answer> Kernel::do_fstat(Call& c) {
  OpenFile* f = c.p.files.at(static_cast<int32_t>(c.a[0]));
  if (f == nullptr) return error(kEBADF);
  if (!c.p.space->writable(c.a[1], kStatSize)) return error(kEFAULT);
  GuestStat st;
  if (const fs::Error e = f->stat(&st); !e.ok()) return failed(c, e);
  stabilize(st);
  const auto bytes = encode_stat(st);
  if (!c.p.space->copy_out(c.a[1], bytes.data(), kStatSize)) return error(kEFAULT);
  return ok(0);
}

std::optional<Kernel::Answer> Kernel::do_ioctl(Call& c) {
  return error(c.p.files.at(static_cast<int32_t>(c.a[0])) ? kEIOCTL : kEBADF);
}

}  // namespace r3k
