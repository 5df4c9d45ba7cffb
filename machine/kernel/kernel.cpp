#include "r3k/kernel.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "r3k/abi.h"

namespace r3k {
namespace {

constexpr int kV0 = 2, kV1 = 3, kA0 = 4, kA3 = 7;
// Guest buffers are copied through a bounded host buffer, so a huge write
// costs time, never host memory.
constexpr uint32_t kCopyChunk = 64u << 10;

void write_all(int fd, const uint8_t* bytes, size_t len) {
  while (len > 0) {
    const ssize_t n = ::write(fd, bytes, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // host stream gone: the guest's write still succeeded
    bytes += n;
    len -= static_cast<size_t>(n);
  }
}

// The stack is mapped on first touch.  A kernel copy to or from a part the
// guest has not touched yet must find it there, as the guest itself would.
void touch_stack(AddressSpace& space, uint32_t stack_lo, uint32_t addr, uint32_t len) {
  const uint64_t lo = std::max<uint64_t>(addr, stack_lo);
  const uint64_t hi = std::min<uint64_t>(uint64_t{addr} + len, kUserEnd);
  for (uint64_t a = lo & ~uint64_t{kPageSize - 1}; a < hi; a += kPageSize) {
    uint32_t ignored;
    if (space.prot(static_cast<uint32_t>(a)) == kProtNone) space.load8(static_cast<uint32_t>(a), ignored);
  }
}

std::string call_name(uint32_t number) {
  std::string_view name = syscall_name(number);
  return name.empty() ? "syscall_" + std::to_string(number) : std::string(name);
}

}  // namespace

Kernel::Kernel(const Options& options)
    : opts_(options), fail_counts_(options.fail.size()), result_counts_(options.result.size()) {}

Kernel::~Kernel() = default;

Process& Kernel::start(std::unique_ptr<AddressSpace> space, const CpuState& state) {
  auto p = std::make_unique<Process>();
  p->pid = opts_.first_pid;
  p->ppid = opts_.first_ppid;
  p->outside_parent = true;
  p->space = std::move(space);
  p->cpu = std::make_unique<Cpu>(p->space.get());
  p->cpu->set_jit(opts_.jit);
  p->cpu->state() = state;
  p->info = infos_.size();
  infos_.push_back(ProcessInfo{});
  infos_.back().pid = p->pid;
  infos_.back().ppid = p->ppid;
  next_pid_ = uint64_t{p->pid} + 1;
  by_pid_[p->pid] = p.get();
  live_.push_back(p.get());
  ++unreaped_;
  procs_.push_back(std::move(p));
  return *procs_.back();
}

Process* Kernel::find(uint32_t pid) {
  auto it = by_pid_.find(pid);
  return it == by_pid_.end() ? nullptr : it->second;
}

std::string Kernel::output(int fd) const {
  return fd == 1 || fd == 2 ? outputs_[static_cast<size_t>(fd)] : std::string{};
}

void Kernel::diagnose(const std::string& line) {
  diagnostics_.push_back(line);
  if (opts_.diagnostics) {
    const std::string text = line + "\n";
    write_all(2, reinterpret_cast<const uint8_t*>(text.data()), text.size());
  }
}

void Kernel::trace_line(const std::string& line) {
  const std::string text = line + "\n";
  if (opts_.trace_sink)
    opts_.trace_sink(text);
  else
    write_all(2, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

void Kernel::record(SyscallEvent event) {
  if (opts_.trace)
    trace_line(opts_.trace_format == TraceFormat::Tsv ? format_call_tsv(event)
                                                      : format_call(event, opts_.trace_strsize));
  if (opts_.record) events_.push_back(std::move(event));
}

void Kernel::reply(Process& p, SyscallEvent& event, const Answer& a) {
  CpuState& st = p.cpu->state();
  st.gpr[kA3] = a.failed ? 1 : 0;
  st.gpr[kV0] = a.v0;
  st.gpr[kV1] = a.v1;
  event.failed = a.failed;
  event.v0 = static_cast<int32_t>(a.v0);
  event.v1 = a.v1;
  record(std::move(event));
}

std::optional<Kernel::Answer> Kernel::injected(const Process& p, uint32_t number) {
  // Every rule counts every call it matches, whether or not an earlier
  // rule already decided the answer.
  std::optional<Answer> answer;
  auto scan = [&](const std::vector<CallRule>& rules, std::vector<uint64_t>& counts, bool fail) {
    for (size_t i = 0; i < rules.size(); ++i) {
      const CallRule& r = rules[i];
      if (r.call != number || (r.pid && *r.pid != p.pid)) continue;
      if (r.applies(++counts[i]) && !answer) answer = Answer{fail, static_cast<uint32_t>(r.value), 0};
    }
  };
  scan(opts_.fail, fail_counts_, true);
  scan(opts_.result, result_counts_, false);
  return answer;
}

void Kernel::syscall(Process& p) {
  const CpuState& st = p.cpu->state();
  SyscallEvent ev;
  ev.pid = p.pid;
  ev.number = st.gpr[kV0];
  ev.name = call_name(ev.number);
  for (int i = 0; i < 4; ++i) ev.args[i] = st.gpr[kA0 + i];
  const Sys call = static_cast<Sys>(ev.number);
  if (call == Sys::write && (opts_.trace || opts_.record))
    ev.data = read_for_trace(p, ev.args[1], ev.args[2]);

  if (auto a = injected(p, ev.number)) {
    ev.injected = true;
    reply(p, ev, *a);
    return;
  }
  switch (call) {
    case Sys::_exit:
      if (exits_returned_ < opts_.exit_returns) {
        ++exits_returned_;
        reply(p, ev, ok(0));
        return;
      }
      ev.returned = false;
      record(std::move(ev));
      infos_[p.info].exited = true;
      infos_[p.info].status = static_cast<int32_t>(st.gpr[kA0]);
      if (opts_.trace)
        trace_line(opts_.trace_format == TraceFormat::Tsv ? format_exit_tsv(p.pid, infos_[p.info].status)
                                                          : format_exit(p.pid, infos_[p.info].status));
      end(p);
      return;
    case Sys::fork:
      reply(p, ev, do_fork(p));
      return;
    case Sys::waitpid:
      if (auto a = do_waitpid(p, ev.args)) reply(p, ev, *a);
      return;  // else blocked: the event is recorded when the wait ends
    case Sys::write:
      reply(p, ev, do_write(p, ev.args));
      return;
    case Sys::getpid:
      reply(p, ev, ok(p.pid));
      return;
    case Sys::getppid:
      reply(p, ev, ok(p.ppid));
      return;
    default:
      reply(p, ev, error(ev.number < kSyscallCount ? kEUNIMP : kENOSYS));
      return;
  }
}

Kernel::Answer Kernel::do_fork(Process& p) {
  if (unreaped_ >= opts_.max_procs || next_pid_ > UINT32_MAX) return error(kEAGAIN);
  auto space = opts_.shared_fork ? p.space->clone(share_lo_, share_hi_) : p.space->clone();
  if (!space) return error(kENOMEM);
  auto child = std::make_unique<Process>();
  child->pid = static_cast<uint32_t>(next_pid_++);
  child->ppid = p.pid;
  child->space = std::move(space);
  child->cpu = std::make_unique<Cpu>(child->space.get());
  child->cpu->set_jit(opts_.jit);
  CpuState& cs = child->cpu->state();
  cs = p.cpu->state();
  cs.gpr[kV0] = 0;
  cs.gpr[kV1] = 0;
  cs.gpr[kA3] = 0;
  child->info = infos_.size();
  infos_.push_back(ProcessInfo{});
  infos_.back().pid = child->pid;
  infos_.back().ppid = child->ppid;
  by_pid_[child->pid] = child.get();
  live_.push_back(child.get());  // pids only grow, so live_ stays in pid order
  ++unreaped_;
  const uint32_t pid = child->pid;
  procs_.push_back(std::move(child));
  return ok(pid);
}

std::optional<Kernel::Answer> Kernel::do_waitpid(Process& p, const uint32_t* args) {
  const uint32_t pid = args[0], addr = args[1], options = args[2];
  if (options != 0) return error(kEINVAL);
  Process* child = find(pid);
  if (child == nullptr || child->outside_parent || child->ppid != p.pid || child->state == ProcState::Reaped)
    return error(kEINVAL);
  if (addr != 0) {
    // Refuse a bad pointer now rather than after a long wait.
    touch_stack(*p.space, kUserEnd - opts_.stack_size, addr, 4);
    uint8_t probe[4];
    if (!p.space->copy_in(addr, probe, 4) || !p.space->copy_out(addr, probe, 4)) return error(kEFAULT);
  }
  if (child->state != ProcState::Zombie) {
    p.state = ProcState::Blocked;
    p.wait_pid = pid;
    p.wait_addr = addr;
    std::copy(args, args + 4, p.wait_args);
    return std::nullopt;
  }
  return complete_wait(p, *child, addr);
}

Kernel::Answer Kernel::complete_wait(Process& parent, Process& child, uint32_t addr) {
  const ProcessInfo& ci = infos_[child.info];
  const bool unix_form = opts_.wait_status == WaitStatusForm::Unix;
  uint32_t word = 0;
  if (ci.fault) {
    const int sig = fault_signal(ci.fault->kind);
    word = unix_form ? static_cast<uint32_t>(sig & 0x7f) : static_cast<uint32_t>(128 + sig);
  } else {
    const uint32_t status = static_cast<uint32_t>(ci.status);
    word = unix_form ? (status & 0xff) << 8 : status;
  }
  if (addr != 0) {
    const uint8_t be[4] = {static_cast<uint8_t>(word >> 24), static_cast<uint8_t>(word >> 16),
                           static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word)};
    if (!parent.space->copy_out(addr, be, 4)) return error(kEFAULT);
  }
  child.state = ProcState::Reaped;
  zombies_.erase(std::remove(zombies_.begin(), zombies_.end(), &child), zombies_.end());
  --unreaped_;
  return ok(child.pid);
}

bool Kernel::writable_fd(int32_t fd) const {
  if (fd != 1 && fd != 2) return false;
  return std::find(opts_.closed_fds.begin(), opts_.closed_fds.end(), fd) == opts_.closed_fds.end();
}

Kernel::Answer Kernel::do_write(Process& p, const uint32_t* args) {
  const int32_t fd = static_cast<int32_t>(args[0]);
  const uint32_t addr = args[1], len = args[2];
  if (!writable_fd(fd)) return error(kEBADF);
  if (len == 0) return ok(0);
  touch_stack(*p.space, kUserEnd - opts_.stack_size, addr, len);
  // Validate the whole buffer first, so a bad one writes nothing.
  if (uint64_t{addr} + len > kUserEnd || len > uint64_t{p.space->mapped_pages()} * kPageSize)
    return error(kEFAULT);
  for (uint64_t page = addr & ~(kPageSize - 1); page < uint64_t{addr} + len; page += kPageSize)
    if (!(p.space->prot(static_cast<uint32_t>(page)) & kProtRead)) return error(kEFAULT);

  std::vector<uint8_t> chunk(std::min(len, kCopyChunk));
  for (uint32_t done = 0; done < len;) {
    const uint32_t n = std::min(len - done, kCopyChunk);
    if (!p.space->copy_in(addr + done, chunk.data(), n)) return error(kEFAULT);
    if (opts_.echo) write_all(fd, chunk.data(), n);
    if (opts_.record && captured_ < opts_.capture_limit) {
      const uint64_t keep = std::min<uint64_t>(n, opts_.capture_limit - captured_);
      outputs_[static_cast<size_t>(fd)].append(reinterpret_cast<const char*>(chunk.data()), keep);
      captured_ += keep;
    }
    done += n;
  }
  return ok(len);
}

std::string Kernel::read_for_trace(Process& p, uint32_t addr, uint32_t len) {
  const uint32_t n = std::min(len, kMaxEventData);
  std::string bytes(n, '\0');
  touch_stack(*p.space, kUserEnd - opts_.stack_size, addr, n);
  if (n == 0 || !p.space->copy_in(addr, bytes.data(), n)) return {};
  return bytes;
}

void Kernel::end(Process& p) {
  live_.erase(std::remove(live_.begin(), live_.end(), &p), live_.end());
  // Orphans go to the first process's parent, outside the machine;
  // zombies nobody can wait for any more are reaped at once.
  for (Process* c : live_) {
    if (c->outside_parent || c->ppid != p.pid) continue;
    c->ppid = opts_.first_ppid;
    c->outside_parent = true;
  }
  for (Process* z : std::vector<Process*>(zombies_)) {
    if (z->outside_parent || z->ppid != p.pid) continue;
    z->ppid = opts_.first_ppid;
    z->outside_parent = true;
    z->state = ProcState::Reaped;
    zombies_.erase(std::remove(zombies_.begin(), zombies_.end(), z), zombies_.end());
    --unreaped_;
  }
  // The first process keeps its memory and registers for tests to look at.
  if (&p != first()) {
    p.cpu.reset();
    p.space.reset();
  }
  Process* parent = p.outside_parent ? nullptr : find(p.ppid);
  if (parent == nullptr || parent->state == ProcState::Zombie || parent->state == ProcState::Reaped) {
    p.state = ProcState::Reaped;
    --unreaped_;
    return;
  }
  p.state = ProcState::Zombie;
  zombies_.push_back(&p);
  if (parent->state == ProcState::Blocked && parent->wait_pid == p.pid) {
    SyscallEvent ev;
    ev.pid = parent->pid;
    ev.number = static_cast<uint32_t>(Sys::waitpid);
    ev.name = call_name(ev.number);
    std::copy(parent->wait_args, parent->wait_args + 4, ev.args);
    parent->state = ProcState::Runnable;
    reply(*parent, ev, complete_wait(*parent, p, parent->wait_addr));
  }
}

std::string Kernel::fault_line(uint32_t pid, const Fault& fault) {
  return "r3krun: pid " + std::to_string(pid) + " killed by " + signal_name(fault_signal(fault.kind)) + ": " +
         fault.describe();
}

void Kernel::kill(Process& p, const Fault& fault) {
  infos_[p.info].fault = fault;
  const int sig = fault_signal(fault.kind);
  diagnose(fault_line(p.pid, fault));
  if (opts_.trace)
    trace_line(opts_.trace_format == TraceFormat::Tsv ? format_fault_tsv(p.pid, fault)
                                                      : format_kill(p.pid, sig, fault.describe()));
  end(p);
}

void Kernel::end_by_return(Process& p, int32_t status) {
  infos_[p.info].exited = true;
  infos_[p.info].status = status;
  if (opts_.trace)
    trace_line(opts_.trace_format == TraceFormat::Tsv ? format_exit_tsv(p.pid, status) : format_exit(p.pid, status));
  end(p);
}

void Kernel::kill_everything_for_budget(uint64_t budget) {
  diagnose("r3krun: instruction budget of " + std::to_string(budget) + " exhausted");
  for (Process* p : std::vector<Process*>(live_)) {
    infos_[p->info].budget_killed = true;
    if (opts_.trace)
      trace_line(opts_.trace_format == TraceFormat::Tsv ? format_budget_kill_tsv(p->pid)
                                                        : format_kill(p->pid, 9, "instruction budget exhausted"));
    end(*p);
  }
}

}  // namespace r3k
