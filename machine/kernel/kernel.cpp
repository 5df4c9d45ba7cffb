#include "r3k/kernel.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "r3k/abi.h"
#include "r3k/console.h"

namespace r3k {
namespace {

constexpr int kV0 = 2, kV1 = 3, kA0 = 4, kA3 = 7;

std::string call_name(uint32_t number) {
  std::string_view name = syscall_name(number);
  return name.empty() ? "syscall_" + std::to_string(number) : std::string(name);
}

template <typename T>
void erase_value(std::vector<T*>& v, const T* value) {
  v.erase(std::remove(v.begin(), v.end(), value), v.end());
}

}  // namespace

Kernel::Kernel(const Options& options)
    : opts_(options),
      keep_history_(options.record || options.stats),
      has_rules_(!options.fail.empty() || !options.result.empty()),
      tracer_(options.trace ? TraceWriter::make(options.trace_format, options.trace_strsize) : nullptr),
      console_(Console::host()),
      lean_write_(!tracer_ && !options.record && !has_rules_),
      open_fds_((writable_fd(1) ? 2u : 0u) | (writable_fd(2) ? 4u : 0u)),
      fail_counts_(options.fail.size()),
      result_counts_(options.result.size()) {}

Kernel::~Kernel() = default;

Process& Kernel::add_process(std::unique_ptr<Process> p) {
  p->info = infos_.size();
  infos_.push_back(ProcessInfo{});
  infos_.back().pid = p->pid;
  infos_.back().ppid = p->ppid;
  p->cpu = std::make_unique<Cpu>(p->space.get());
  p->cpu->set_jit(opts_.jit);
  p->kernel = this;
  if (opts_.in_place_calls) p->cpu->set_syscall_hook(SyscallHook{&Kernel::serve_in_place, p.get()});
  by_pid_[p->pid] = p.get();
  // In pid order, which after a wrap of the ids is not creation order.
  live_.insert(
      std::upper_bound(live_.begin(), live_.end(), p->pid, [](uint32_t pid, const Process* q) { return pid < q->pid; }),
      p.get());
  ++unreaped_;
  next_pid_ = p->pid + 1;
  procs_.push_back(std::move(p));
  return *procs_.back();
}

Process& Kernel::start(std::unique_ptr<AddressSpace> space, const CpuState& state) {
  auto p = std::make_unique<Process>();
  p->pid = opts_.first_pid;
  p->ppid = opts_.first_ppid;
  p->outside_parent = true;
  p->space = std::move(space);
  Process& first = add_process(std::move(p));
  first.cpu->state() = state;
  first_ = &first;
  return first;
}

std::optional<uint32_t> Kernel::free_pid() {
  // Upward from the last one handed out; past kMaxPid from 1 again, never
  // an id in use.  Only ids in use are skipped, so the search is as long
  // as the process table at most.
  uint32_t pid = next_pid_;
  for (size_t tries = 0; tries <= by_pid_.size() + 1; ++tries, ++pid) {
    if (pid == 0 || pid > kMaxPid) pid = 1;
    if (by_pid_.count(pid) == 0) return pid;
  }
  return std::nullopt;
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
  if (opts_.diagnostics) console_.line(2, line);
}

void Kernel::trace(const std::string& line) {
  if (opts_.trace_sink) opts_.trace_sink(line + "\n");
  else console_.line(opts_.trace_fd, line);
}

void Kernel::record(SyscallEvent event) {
  if (tracer_) trace(tracer_->call(event));
  if (opts_.record) events_.push_back(std::move(event));
}

void Kernel::reply(uint32_t* gpr, SyscallEvent& event, const Answer& a) {
  gpr[kA3] = a.failed;
  gpr[kV0] = a.v0;
  gpr[kV1] = a.v1;
  if (!tracer_ && !opts_.record) return;
  event.failed = a.failed != 0;
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
      if (r.applies(++counts[i]) && !answer) answer = Answer{fail ? 1u : 0u, static_cast<uint32_t>(r.value), 0};
    }
  };
  scan(opts_.fail, fail_counts_, true);
  scan(opts_.result, result_counts_, false);
  return answer;
}

void Kernel::syscall(Process& p) {
  // A call served in place that threw stopped the run to come here.
  if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
  serve(p, p.cpu->state().gpr);
}

bool Kernel::serve_in_place(void* process, uint32_t* gpr) noexcept {
  Process& p = *static_cast<Process*>(process);
  Kernel& k = *p.kernel;
  // Output the host refused ends the run: the machine sees to it first.
  if (k.console_.refusal()) return false;
  if (gpr[kV0] == static_cast<uint32_t>(Sys::write) && k.lean_write_ && k.write_in_place(p, gpr)) return true;
  switch (static_cast<Sys>(gpr[kV0])) {
    // These change or end processes, block, or copy the registers: they
    // stop the run and come through syscall().
    case Sys::_exit:
    case Sys::fork:
    case Sys::waitpid: return false;
    default: try { k.serve(p, gpr);
      } catch (...) {
        // Nothing may unwind through generated code: the run stops, and
        // syscall() throws it again on the dispatcher's side.
        k.failure_ = std::current_exception();
        return false;
      }
      return true;
  }
}

void Kernel::serve(Process& p, uint32_t* gpr) {
  const bool described = tracer_ || opts_.record;
  SyscallEvent ev;
  ev.pid = p.pid;
  ev.number = gpr[kV0];
  for (int i = 0; i < 4; ++i) ev.args[i] = gpr[kA0 + i];
  const Sys call = static_cast<Sys>(ev.number);
  if (described) {
    ev.name = call_name(ev.number);
    if (call == Sys::write) ev.data = read_for_trace(p, ev.args[1], ev.args[2]);
  }

  if (auto a = has_rules_ ? injected(p, ev.number) : std::nullopt) {
    ev.injected = true;
    reply(gpr, ev, *a);
    return;
  }
  switch (call) {
    case Sys::_exit:
      if (!serve_exit(p, ev)) reply(gpr, ev, ok(0));
      return;
    case Sys::fork: reply(gpr, ev, do_fork(p)); return;
    case Sys::waitpid:
      if (auto a = do_waitpid(p, ev.args)) reply(gpr, ev, *a);
      return;  // else blocked: the event is recorded when the wait ends
    case Sys::write: reply(gpr, ev, do_write(p, ev.args)); return;
    case Sys::getpid: reply(gpr, ev, ok(p.pid)); return;
    case Sys::getppid: reply(gpr, ev, ok(p.ppid)); return;
    default: reply(gpr, ev, error(ev.number < kSyscallCount ? kEUNIMP : kENOSYS)); return;
  }
}

// True if the process ended; false if this _exit returns (--exit-returns).
bool Kernel::serve_exit(Process& p, SyscallEvent& ev) {
  if (exits_returned_ < opts_.exit_returns) {
    ++exits_returned_;
    return false;
  }
  ev.returned = false;
  record(std::move(ev));
  ProcessInfo& info = infos_[p.info];
  info.exited = true;
  info.status = static_cast<int32_t>(ev.args[0]);
  if (tracer_) trace(tracer_->exited(p.pid, info.status));
  end(p);
  return true;
}

Kernel::Answer Kernel::do_fork(Process& p) {
  if (unreaped_ >= opts_.max_procs) return error(kEAGAIN);
  const auto pid = free_pid();
  if (!pid) return error(kEAGAIN);
  auto space = opts_.shared_fork ? p.space->clone(share_lo_, share_hi_) : p.space->clone();
  if (!space) return error(kENOMEM);
  auto child = std::make_unique<Process>();
  child->pid = *pid;
  child->ppid = p.pid;
  child->space = std::move(space);
  Process& c = add_process(std::move(child));
  CpuState& cs = c.cpu->state();
  cs = p.cpu->state();
  cs.gpr[kV0] = 0;
  cs.gpr[kV1] = 0;
  cs.gpr[kA3] = 0;
  return ok(c.pid);
}

std::optional<Kernel::Answer> Kernel::do_waitpid(Process& p, const uint32_t* args) {
  const uint32_t pid = args[0], addr = args[1], options = args[2];
  if (options != 0) return error(kEINVAL);
  Process* child = find(pid);
  if (child == nullptr || child->outside_parent || child->ppid != p.pid) return error(kEINVAL);
  // Refuse a bad pointer now rather than after a long wait.
  if (addr != 0 && !(p.space->readable(addr, 4) && p.space->writable(addr, 4))) return error(kEFAULT);
  if (child->state != ProcState::Zombie) {
    p.state = ProcState::Blocked;
    p.wait_pid = pid;
    p.wait_addr = addr;
    std::copy(args, args + 4, p.wait_args);
    // The machine may be a while before anything else is written.
    console_.flush();
    return std::nullopt;
  }
  return complete_wait(p, *child, addr);
}

Kernel::Answer Kernel::complete_wait(Process& parent, Process& child, uint32_t addr) {
  const ProcessInfo& ci = infos_[child.info];
  const bool unix_form = opts_.wait_status == WaitStatusForm::Unix;
  uint32_t word = 0;
  if (const int sig = ci.kill_signal()) {
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
  reap(child);
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
  // The whole buffer first, so a bad one writes nothing.  Within one page
  // (printf's one byte) that is the page's own view.
  const bool one_page = len <= kPageSize - (addr & (kPageSize - 1));
  if (one_page ? p.space->read_view(addr) == nullptr : !p.space->readable(addr, len)) return error(kEFAULT);
  // Straight from the guest's pages, a page at a time: a huge write costs
  // time, never host memory.
  for (uint32_t done = 0; done < len;) {
    const uint32_t at = addr + done;
    const uint32_t n = std::min(len - done, kPageSize - (at & (kPageSize - 1)));
    const uint8_t* bytes = p.space->read_view(at);
    if (opts_.echo) console_.write(fd, bytes, n);
    if (opts_.record && captured_ < opts_.capture_limit) {
      const uint64_t keep = std::min<uint64_t>(n, opts_.capture_limit - captured_);
      outputs_[static_cast<size_t>(fd)].append(reinterpret_cast<const char*>(bytes), keep);
      captured_ += keep;
    }
    done += n;
  }
  return ok(len);
}

// do_write's common case on its own, for a guest printing byte by byte:
// nothing traced, recorded or injected, an open descriptor, a buffer
// within one readable page.  False, having done nothing, for the rest.
bool Kernel::write_in_place(Process& p, uint32_t* gpr) {
  const uint32_t fd = gpr[kA0], addr = gpr[kA0 + 1], len = gpr[kA0 + 2];
  if (fd > 2 || !(open_fds_ >> fd & 1) || len == 0 || len > kPageSize - (addr & (kPageSize - 1))) return false;
  const uint8_t* bytes = p.space->read_view(addr);
  if (bytes == nullptr) return false;
  if (opts_.echo) console_.write(static_cast<int>(fd), bytes, len);
  gpr[kA3] = 0;
  gpr[kV0] = len;
  gpr[kV1] = 0;
  return true;
}

std::string Kernel::read_for_trace(const Process& p, uint32_t addr, uint32_t len) const {
  const uint32_t n = std::min(len, kMaxEventData);
  std::string bytes(n, '\0');
  if (n == 0 || !p.space->copy_in(addr, bytes.data(), n)) return {};
  return bytes;
}

void Kernel::hand_on_children(const Process& p) {
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
    reap(*z);
  }
}

void Kernel::reap(Process& p) {
  if (p.state == ProcState::Zombie) erase_value(zombies_, &p);
  p.state = ProcState::Reaped;
  by_pid_.erase(p.pid);
  --unreaped_;
  if (&p != first_) reaped_.push_back(&p);
}

void Kernel::release_reaped() {
  for (Process* p : reaped_) {
    const size_t info = p->info;
    procs_.erase(std::find_if(procs_.begin(), procs_.end(), [&](const auto& q) { return q.get() == p; }));
    if (keep_history_) continue;
    infos_.erase(infos_.begin() + static_cast<ptrdiff_t>(info));
    for (const auto& q : procs_)
      if (q->info > info) --q->info;
  }
  reaped_.clear();
}

void Kernel::end(Process& p) {
  erase_value(live_, &p);
  hand_on_children(p);
  // The first process keeps its memory and registers for tests to look at.
  if (&p != first_) {
    p.cpu.reset();
    p.space.reset();
  }
  // Whatever it wrote is out before anything that follows its end.
  console_.flush();
  Process* parent = p.outside_parent ? nullptr : find(p.ppid);
  if (parent == nullptr || parent->state == ProcState::Zombie) {
    reap(p);
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
    reply(parent->cpu->state().gpr, ev, complete_wait(*parent, p, parent->wait_addr));
  }
}

int ProcessInfo::kill_signal() const {
  if (fault) return fault_signal(fault->kind);
  if (budget_killed) return kSigKill;
  return signal;
}

std::string Kernel::kill_line(uint32_t pid, int signal, std::string_view why) {
  return "r3krun: pid " + std::to_string(pid) + " killed by " + signal_name(signal) + ": " + std::string(why);
}

void Kernel::kill(Process& p, const Fault& fault) {
  ProcessInfo& info = infos_[p.info];
  info.fault = fault;
  info.report = explain(p, fault);
  diagnose(kill_line(p.pid, fault_signal(fault.kind), info.report));
  if (tracer_) trace(tracer_->killed(p.pid, fault, info.report));
  end(p);
}

void Kernel::kill_by_signal(Process& p, int signal, const std::string& why, bool quiet) {
  ProcessInfo& info = infos_[p.info];
  info.signal = signal;
  info.report = why;
  if (!quiet) diagnose(kill_line(p.pid, signal, why));
  if (tracer_) trace(tracer_->signalled(p.pid, signal, why));
  end(p);
}

void Kernel::end_by_return(Process& p, int32_t status) {
  infos_[p.info].exited = true;
  infos_[p.info].status = status;
  if (tracer_) trace(tracer_->exited(p.pid, status));
  end(p);
}

void Kernel::kill_everything_for_budget(uint64_t budget) {
  diagnose("r3krun: instruction budget of " + std::to_string(budget) + " exhausted");
  for (Process* p : std::vector<Process*>(live_)) {
    infos_[p->info].budget_killed = true;
    infos_[p->info].report = "instruction budget exhausted";
    if (tracer_) trace(tracer_->budget_killed(p->pid));
    end(*p);
  }
}

}  // namespace r3k
