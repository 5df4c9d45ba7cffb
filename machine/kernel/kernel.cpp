#include "r3k/kernel.h"

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <utility>

#include "kernel/guest_words.h"
#include "r3k/abi.h"
#include "r3k/console.h"

namespace r3k {
namespace {

template <typename T>
void erase_value(std::vector<T*>& v, const T* value) {
  v.erase(std::remove(v.begin(), v.end(), value), v.end());
}

}  // namespace

Process::Process() = default;
Process::~Process() = default;

Kernel::Kernel(const Options& options)
    : opts_(with_faults(options)),
      keep_history_(options.record || options.stats),
      has_rules_(!options.fail.empty() || !options.result.empty()),
      tracer_(options.trace ? TraceWriter::make(options.trace_format, options.trace_strsize) : nullptr),
      console_(Console::host()),
      lean_write_(!tracer_ && !options.record && !options.stats && !has_rules_ && !options.kernel_faults),
      fail_counts_(options.fail.size()),
      result_counts_(options.result.size()),
      tree_(fs::Tree::empty()) {
  for (uint32_t i = 0; i < kSyscallCount; ++i)
    if (static_cast<uint32_t>(kCalls[i].number) != i)
      throw std::logic_error("the call table is out of order at " + std::to_string(i));
}

Kernel::~Kernel() = default;

Process& Kernel::add_process(std::unique_ptr<Process> p) {
  p->info = infos_.size();
  infos_.push_back(ProcessInfo{});
  infos_.back().pid = p->pid;
  infos_.back().ppid = p->ppid;
  p->kernel = this;
  attach_cpu(*p);
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

// A CPU for the process's address space, with the kernel's hook.
void Kernel::attach_cpu(Process& p) {
  p.cpu = std::make_unique<Cpu>(p.space.get());
  p.cpu->set_jit(opts_.jit);
  if (opts_.in_place_calls) p.cpu->set_syscall_hook(SyscallHook{&Kernel::serve_in_place, &p});
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
  open_console(first);
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

void Kernel::set_image(uint32_t heap_start, uint32_t share_lo, uint32_t share_hi,
                       std::shared_ptr<const Program> program) {
  first_->brk_start = first_->brk = heap_start;
  first_->share_lo = share_lo;
  first_->share_hi = share_hi;
  first_->program = std::move(program);
}

std::string Kernel::output(int fd) const {
  return fd == 1 || fd == 2 ? outputs_[static_cast<size_t>(fd)] : std::string{};
}

void Kernel::diagnose(const std::string& line) {
  diagnostics_.push_back(line);
  if (opts_.diagnostics) console_.line(2, line);
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
  erase_value(woken_, &p);
  p.wait = WaitOn{};
  // Its descriptors close: a pipe's other end may see its end now.
  close_all(p);
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
  } else {
    p.state = ProcState::Zombie;
    zombies_.push_back(&p);
    const WaitOn& w = parent->wait;
    if (parent->state == ProcState::Blocked &&
        ((w.kind == WaitOn::Kind::Child && w.pid == p.pid) || w.kind == WaitOn::Kind::AnyChild))
      wake_process(*parent);
  }
  settle();
}

int ProcessInfo::kill_signal() const {
  if (fault) return fault_signal(fault->kind);
  if (budget_killed) return kSIGKILL;
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

// reboot and a deadlock: every process ends at once, killed; the run's
// status and line are the machine's, not the first process's.
void Kernel::end_machine(int exit_code, const std::string& line,
                         const std::function<std::string(const Process&)>& why) {
  machine_end_ = MachineEnd{exit_code, line};
  diagnose(line);
  // Nobody is served again on the way: they all end.
  Busy busy(busy_);
  for (Process* p : std::vector<Process*>(live_)) kill_by_signal(*p, kSIGKILL, why(*p), true);
  woken_.clear();
}

void Kernel::end_in_deadlock() {
  std::string line = "r3krun: deadlock:";
  for (const Process* p : live_)
    line += (p == live_.front() ? " pid " : ", pid ") + std::to_string(p->pid) + " " + p->wait.describe();
  end_machine(kExitDeadlock, line, [](const Process& p) { return "deadlock: " + p.wait.describe(); });
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
