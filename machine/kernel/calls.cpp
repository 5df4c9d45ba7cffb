// The 33 calls, one declaration each, and how every call is served: in
// place or once the CPU has stopped, with the injected answers, the
// trace's view of its memory, blocking, and waking the blocked.
#include <algorithm>
#include <exception>
#include <utility>

#include "kernel/guest_words.h"
#include "r3k/console.h"
#include "r3k/kernel.h"

namespace r3k {
namespace {

constexpr ArgSpec A(ArgKind kind, uint8_t word) { return ArgSpec{kind, word}; }

template <typename... Args>
constexpr CallSignature sig(RetKind ret, Args... args) {
  CallSignature s;
  s.ret = ret;
  const ArgSpec list[] = {args..., ArgSpec{}};
  s.count = sizeof...(args);
  for (uint8_t i = 0; i < s.count; ++i) s.args[i] = list[i];
  return s;
}

constexpr RetKind kDec = RetKind::Dec;
using K = ArgKind;

std::string call_name(uint32_t number) {
  std::string_view name = syscall_name(number);
  return name.empty() ? "syscall_" + std::to_string(number) : std::string(name);
}

}  // namespace

GuestString read_string(const AddressSpace& space, uint32_t addr, uint32_t limit) {
  GuestString s;
  while (s.bytes.size() < limit) {
    const uint8_t* page = space.read_view(addr);
    if (page == nullptr) {
      s.readable = false;
      return s;
    }
    const uint32_t n = std::min<uint32_t>(kPageSize - (addr & (kPageSize - 1)), limit - uint32_t(s.bytes.size()));
    const auto* end = std::find(page, page + n, uint8_t{0});
    s.bytes.append(reinterpret_cast<const char*>(page), static_cast<size_t>(end - page));
    if (end != page + n) return s;
    addr += n;
  }
  s.terminated = false;
  return s;
}

Kernel::Answer Kernel::failed(Call& c, const fs::Error& e) {
  // The reason is worth a look only when it says more than the number.
  if (c.described && e.why != error_name(static_cast<int32_t>(e.err))) c.ev.why = e.why;
  return error(e.err);
}

// Argument words: a0-a3 as 0-3, the first stack word (sp+16) as 4.  A
// 64-bit argument takes an aligned register pair, high word first.
const Kernel::CallSpec Kernel::kCalls[kSyscallCount] = {
    {Sys::_exit, &Kernel::do_exit, Where::Stops, sig(kDec, A(K::Int, 0))},
    {Sys::execv, &Kernel::do_execv, Where::Stops, sig(kDec, A(K::Path, 0), A(K::Argv, 1))},
    {Sys::fork, &Kernel::do_fork, Where::Stops, sig(kDec)},
    {Sys::waitpid, &Kernel::do_waitpid, Where::Stops, sig(kDec, A(K::Int, 0), A(K::Ptr, 1), A(K::WaitOptions, 2))},
    {Sys::open, &Kernel::do_open, Where::InPlace, sig(kDec, A(K::Path, 0), A(K::OpenFlags, 1), A(K::Mode, 2))},
    {Sys::read, &Kernel::do_read, Where::Stops, sig(kDec, A(K::Int, 0), A(K::OutBuf, 1), A(K::UInt, 2))},
    {Sys::write, &Kernel::do_write, Where::InPlaceUnlessBlocking,
     sig(kDec, A(K::Int, 0), A(K::InBuf, 1), A(K::UInt, 2))},
    {Sys::close, &Kernel::do_close, Where::InPlaceUnlessBlocking, sig(kDec, A(K::Int, 0))},
    {Sys::sync, &Kernel::do_sync, Where::InPlace, sig(kDec)},
    {Sys::reboot, &Kernel::do_reboot, Where::Stops, sig(kDec, A(K::RebootCode, 0))},
    {Sys::sbrk, &Kernel::do_sbrk, Where::Stops, sig(RetKind::Hex, A(K::Int, 0))},
    {Sys::getpid, &Kernel::do_getpid, Where::InPlace, sig(kDec)},
    {Sys::ioctl, &Kernel::do_ioctl, Where::InPlace, sig(kDec, A(K::Int, 0), A(K::Hex, 1), A(K::Ptr, 2))},
    {Sys::lseek, &Kernel::do_lseek, Where::InPlace, sig(RetKind::Dec64, A(K::Int, 0), A(K::Off64, 2), A(K::Whence, 4))},
    {Sys::fsync, &Kernel::do_fsync, Where::InPlace, sig(kDec, A(K::Int, 0))},
    {Sys::ftruncate, &Kernel::do_ftruncate, Where::InPlace, sig(kDec, A(K::Int, 0), A(K::Off64, 2))},
    {Sys::fstat, &Kernel::do_fstat, Where::Stops, sig(kDec, A(K::Int, 0), A(K::StatOut, 1))},
    {Sys::remove, &Kernel::do_remove, Where::InPlace, sig(kDec, A(K::Path, 0))},
    {Sys::rename, &Kernel::do_rename, Where::InPlace, sig(kDec, A(K::Path, 0), A(K::Path, 1))},
    {Sys::link, &Kernel::do_link, Where::InPlace, sig(kDec, A(K::Path, 0), A(K::Path, 1))},
    {Sys::mkdir, &Kernel::do_mkdir, Where::InPlace, sig(kDec, A(K::Path, 0), A(K::Mode, 1))},
    {Sys::rmdir, &Kernel::do_rmdir, Where::InPlace, sig(kDec, A(K::Path, 0))},
    {Sys::chdir, &Kernel::do_chdir, Where::InPlace, sig(kDec, A(K::Path, 0))},
    {Sys::getdirentry, &Kernel::do_getdirentry, Where::Stops, sig(kDec, A(K::Int, 0), A(K::OutBuf, 1), A(K::UInt, 2))},
    {Sys::symlink, &Kernel::do_symlink, Where::InPlace, sig(kDec, A(K::Path, 0), A(K::Path, 1))},
    {Sys::readlink, &Kernel::do_readlink, Where::Stops, sig(kDec, A(K::Path, 0), A(K::OutBuf, 1), A(K::UInt, 2))},
    {Sys::dup2, &Kernel::do_dup2, Where::Stops, sig(kDec, A(K::Int, 0), A(K::Int, 1))},
    {Sys::pipe, &Kernel::do_pipe, Where::Stops, sig(kDec, A(K::PipeOut, 0))},
    {Sys::__time, &Kernel::do_time, Where::Stops, sig(RetKind::Dec64, A(K::TimeOut, 0), A(K::NsecOut, 1))},
    {Sys::__getcwd, &Kernel::do_getcwd, Where::Stops, sig(kDec, A(K::OutBuf, 0), A(K::UInt, 1))},
    {Sys::stat, &Kernel::do_stat, Where::Stops, sig(kDec, A(K::Path, 0), A(K::StatOut, 1))},
    {Sys::lstat, &Kernel::do_lstat, Where::Stops, sig(kDec, A(K::Path, 0), A(K::StatOut, 1))},
    {Sys::getppid, &Kernel::do_getppid, Where::InPlace, sig(kDec)},
};

const Kernel::CallSpec Kernel::kUnknownCall = {Sys{0}, &Kernel::no_such_call, Where::InPlace, {}};

const CallSignature* call_signature(uint32_t number) {
  return number < kSyscallCount ? &Kernel::kCalls[number].sig : nullptr;
}

bool is_output_arg(ArgKind kind) {
  return kind == K::OutBuf || kind == K::StatOut || kind == K::PipeOut || kind == K::TimeOut || kind == K::NsecOut;
}

bool is_memory_arg(ArgKind kind) {
  return is_output_arg(kind) || kind == K::Path || kind == K::InBuf || kind == K::Argv || kind == K::Whence;
}

// ---- serving ----------------------------------------------------------------

void Kernel::syscall(Process& p) {
  // A call served in place that threw stopped the run to come here.
  if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
  {
    Busy busy(busy_);
    serve(p, p.cpu->state().gpr);
  }
  settle();
}

bool Kernel::serve_in_place(void* process, uint32_t* gpr) noexcept {
  Process& p = *static_cast<Process*>(process);
  Kernel& k = *p.kernel;
  // Output the host refused ends the run: the machine sees to it first.
  if (k.console_.refusal()) return false;
  if (gpr[regs::v0] == static_cast<uint32_t>(Sys::write) && k.lean_write_ && k.write_in_place(p, gpr)) return true;
  if (!k.stays_in_place(p, gpr)) return false;
  try {
    Busy busy(k.busy_);
    k.serve(p, gpr);
  } catch (...) {
    // Nothing may unwind through generated code: the run stops, and
    // syscall() throws it again on the dispatcher's side.
    k.failure_ = std::current_exception();
    return false;
  }
  return true;
}

bool Kernel::stays_in_place(const Process& p, const uint32_t* gpr) const {
  switch (spec(gpr[regs::v0]).where) {
    case Where::InPlace: return true;
    case Where::Stops: return false;
    case Where::InPlaceUnlessBlocking: {
      const OpenFile* f = p.files.at(static_cast<int32_t>(gpr[regs::a0]));
      return f == nullptr || !f->may_block();
    }
  }
  return false;
}

Kernel::Call Kernel::make_call(Process& p, const uint32_t* gpr) {
  const uint32_t* a = gpr + regs::a0;  // a0-a3
  Call c{p, gpr[regs::v0], {a[0], a[1], a[2], a[3]}, gpr[regs::sp], {}, tracer_ || opts_.record};
  if (c.described) {
    c.ev.pid = p.pid;
    c.ev.number = c.number;
    c.ev.name = call_name(c.number);
    std::copy(c.a, c.a + 4, c.ev.args);
    capture(c, false, nullptr);
  }
  return c;
}

void Kernel::serve(Process& p, uint32_t* gpr) {
  Call c = make_call(p, gpr);
  if (opts_.stats || opts_.record) ++infos_[p.info].calls[std::min(c.number, kSyscallCount)];
  if (auto a = has_rules_ ? injected(p, c.number) : std::nullopt) {
    c.ev.injected = true;
    reply(gpr, c.ev, *a);
    return;
  }
  perform(c, gpr);
}

void Kernel::perform(Call& c, uint32_t* gpr) {
  const std::optional<Answer> a = opts_.kernel_faults ? serve_faulty(c) : (this->*spec(c.number).handler)(c);
  if (!a) {
    // Blocked (the event is recorded when the call completes) or ended.
    // The machine may be a while before anything else is written.
    if (c.p.state == ProcState::Blocked) console_.flush();
    return;
  }
  c.p.wait = WaitOn{};
  if (c.described && !a->failed) capture(c, true, &*a);
  reply(gpr, c.ev, *a);
}

std::optional<Kernel::Answer> Kernel::injected(const Process& p, uint32_t number) {
  // Every rule counts every call it matches, whether or not an earlier
  // rule already decided the answer.
  std::optional<Answer> answer;
  auto scan = [&](const std::vector<CallRule>& rules, std::vector<uint64_t>& counts, bool fail) {
    for (size_t i = 0; i < rules.size(); ++i) {
      const CallRule& r = rules[i];
      if (r.call != number || (r.pid && *r.pid != p.pid)) continue;
      if (r.applies(++counts[i]) && !answer) answer = Answer{fail ? 1u : 0u, static_cast<uint32_t>(r.value), 0};
    }
  };
  scan(opts_.fail, fail_counts_, true);
  scan(opts_.result, result_counts_, false);
  return answer;
}

void Kernel::reply(uint32_t* gpr, SyscallEvent& event, const Answer& a) {
  gpr[regs::a3] = a.failed;
  gpr[regs::v0] = a.v0;
  gpr[regs::v1] = a.v1;
  if (!tracer_ && !opts_.record) return;
  event.failed = a.failed != 0;
  event.v0 = static_cast<int32_t>(a.v0);
  event.v1 = a.v1;
  record(std::move(event));
}

void Kernel::record(SyscallEvent event) {
  if (tracer_) trace(tracer_->call(event));
  if (opts_.record) events_.push_back(std::move(event));
}

void Kernel::trace(const std::string& line) {
  if (opts_.trace_sink) opts_.trace_sink(line + "\n");
  else console_.line(opts_.trace_fd, line);
}

// ---- what the trace shows of memory --------------------------------------------

// Inputs before the call (outputs get a place, marked missing), outputs
// once it has succeeded.  Reading never maps a page.
void Kernel::capture(Call& c, bool outputs, const Answer* a) {
  const CallSignature& s = spec(c.number).sig;
  const AddressSpace& space = *c.p.space;
  SyscallEvent& ev = c.ev;
  size_t item = 0;
  auto put = [&](std::string bytes, bool missing, bool cut) {
    if (item > 0 && ev.more.size() < item) ev.more.resize(item);
    (item == 0 ? ev.data : ev.more[item - 1]) = std::move(bytes);
    const uint32_t bit = 1u << std::min<size_t>(item, 31);
    ev.missing = missing ? ev.missing | bit : ev.missing & ~bit;
    ev.cut = cut ? ev.cut | bit : ev.cut & ~bit;
    ++item;
  };
  auto bytes_at = [&](uint32_t addr, uint32_t len) {
    const uint32_t n = std::min(len, kMaxEventData);
    std::string b(n, '\0');
    const bool ok = n == 0 || space.copy_in(addr, b.data(), n);
    put(ok ? std::move(b) : std::string(), !ok, ok && len > n);
  };
  for (uint8_t i = 0; i < s.count; ++i) {
    const ArgSpec arg = s.args[i];
    if (!is_memory_arg(arg.kind)) continue;
    const uint32_t word = arg.word < 4 ? c.a[arg.word] : 0;
    if (is_output_arg(arg.kind) != outputs) {
      if (!outputs) put({}, true, false);  // filled in after the call
      else ++item;
      continue;
    }
    switch (arg.kind) {
      case K::Path: {
        GuestString str = read_string(space, word, kPATH_MAX);
        put(str.readable ? std::move(str.bytes) : std::string(), !str.readable, !str.terminated);
        break;
      }
      case K::InBuf: bytes_at(word, c.a[arg.word + 1]); break;
      case K::OutBuf: bytes_at(word, a->v0); break;
      case K::Whence: bytes_at(c.sp + 16, 4); break;
      case K::StatOut: bytes_at(word, kStatSize); break;
      case K::PipeOut: bytes_at(word, 8); break;
      case K::TimeOut: word ? bytes_at(word, 8) : put({}, true, false); break;
      case K::NsecOut: word ? bytes_at(word, 4) : put({}, true, false); break;
      case K::Argv: {
        // One item per string, at most as many as execv takes.
        uint32_t total = 0;
        for (uint32_t at = word;; at += 4) {
          uint8_t w[4];
          if (!space.copy_in(at, w, 4)) {
            put({}, true, false);
            break;
          }
          if (get_be32(w) == 0) break;
          GuestString str = read_string(space, get_be32(w), kARG_MAX);
          total += uint32_t(str.bytes.size()) + 5;
          const bool stop = !str.readable || !str.terminated || total > kARG_MAX;
          put(std::move(str.bytes), !str.readable, !str.terminated);
          if (stop) break;
        }
        break;
      }
      default: break;
    }
  }
}

// ---- blocking and waking ------------------------------------------------------

std::optional<Kernel::Answer> Kernel::block(Call& c, const WaitOn& wait) {
  c.p.state = ProcState::Blocked;
  c.p.wait = wait;
  return std::nullopt;
}

void Kernel::wake(const void* object) {
  for (Process* q : live_)
    if (q->state == ProcState::Blocked && q->wait.object == object) wake_process(*q);
}

void Kernel::wake_process(Process& p) {
  if (std::find(woken_.begin(), woken_.end(), &p) == woken_.end()) woken_.push_back(&p);
}

// Serves the woken processes' calls again, each of which may wake others,
// until none is left.  Each round either completes a call or finds its
// process still waiting, so this ends.
void Kernel::settle() {
  if (busy_ != 0) return;
  Busy busy(busy_);
  while (!woken_.empty()) {
    Process* p = woken_.front();
    woken_.erase(woken_.begin());
    retry(*p);
  }
}

void Kernel::retry(Process& p) {
  if (p.state != ProcState::Blocked) return;
  p.state = ProcState::Runnable;
  uint32_t* gpr = p.cpu->state().gpr;
  Call c = make_call(p, gpr);
  perform(c, gpr);
}

std::string WaitOn::describe() const {
  switch (kind) {
    case Kind::Nothing: return "runs";
    case Kind::Child: return "waits for child " + std::to_string(pid);
    case Kind::AnyChild: return "waits for any child";
    case Kind::PipeRead: return "waits in read(" + std::to_string(fd) + ") on a pipe";
    case Kind::PipeWrite: return "waits in write(" + std::to_string(fd) + ") on a pipe";
    case Kind::Console: return "waits in read(" + std::to_string(fd) + ") on the console";
  }
  return "waits";
}

}  // namespace r3k
