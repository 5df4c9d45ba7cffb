// The process calls: _exit, fork, waitpid, getpid, getppid, reboot
// (execv: exec.cpp).
#include "kernel/guest_words.h"
#include "r3k/kernel.h"

namespace r3k {

// Ends the process; returns (--exit-returns) with 0 instead while the
// first N calls last.
std::optional<Kernel::Answer> Kernel::do_exit(Call& c) {
  if (exits_returned_ < opts_.exit_returns) {
    ++exits_returned_;
    return ok(0);
  }
  c.ev.returned = false;
  if (c.described) record(std::move(c.ev));
  ProcessInfo& info = infos_[c.p.info];
  info.exited = true;
  info.status = static_cast<int32_t>(c.a[0]);
  if (tracer_) trace(tracer_->exited(c.p.pid, info.status));
  end(c.p);
  return std::nullopt;
}

std::optional<Kernel::Answer> Kernel::do_fork(Call& c) {
  Process& p = c.p;
  if (unreaped_ >= opts_.max_procs) return error(kEAGAIN);
  const auto pid = free_pid();
  if (!pid) return error(kEAGAIN);
  auto space = opts_.shared_fork ? p.space->clone(p.share_lo, p.share_hi) : p.space->clone();
  if (!space) return error(kENOMEM);
  auto child = std::make_unique<Process>();
  child->pid = *pid;
  child->ppid = p.pid;
  child->space = std::move(space);
  // The same open files, each shared with the parent (one offset).
  child->files = p.files;
  child->brk_start = p.brk_start;
  child->brk = p.brk;
  child->share_lo = p.share_lo;
  child->share_hi = p.share_hi;
  child->cwd = p.cwd;
  child->program = p.program;
  Process& forked = add_process(std::move(child));
  CpuState& cs = forked.cpu->state();
  cs = p.cpu->state();
  cs.gpr[regs::v0] = 0;
  cs.gpr[regs::v1] = 0;
  cs.gpr[regs::a3] = 0;
  return ok(forked.pid);
}

// pid 0: any child of the parent.
bool Kernel::has_child(const Process& parent, uint32_t pid) {
  auto mine = [&](const Process* q) { return !q->outside_parent && q->ppid == parent.pid; };
  if (pid != 0) {
    const Process* q = find(pid);
    return q != nullptr && mine(q);
  }
  for (const auto* list : {&live_, &zombies_})
    for (const Process* q : *list)
      if (mine(q)) return true;
  return false;
}

// The child (pid 0: the one that ended first) if it has ended.
Process* Kernel::zombie_child(const Process& parent, uint32_t pid) {
  for (Process* z : zombies_)
    if (!z->outside_parent && z->ppid == parent.pid && (pid == 0 || z->pid == pid)) return z;
  return nullptr;
}

// pid > 0: that child; -1: any child.  options: 0 or WNOHANG.  One error,
// EINVAL, for everything that names no child of the caller.
std::optional<Kernel::Answer> Kernel::do_waitpid(Call& c) {
  const int32_t pid = static_cast<int32_t>(c.a[0]);
  const uint32_t addr = c.a[1], options = c.a[2];
  if ((options & ~kWNOHANG) != 0 || (pid <= 0 && pid != -1)) return error(kEINVAL);
  const uint32_t want = pid == -1 ? 0 : static_cast<uint32_t>(pid);
  if (!has_child(c.p, want)) return error(kEINVAL);
  // Refuse a bad pointer now rather than after a long wait.
  if (addr != 0 && !(c.p.space->readable(addr, 4) && c.p.space->writable(addr, 4))) return error(kEFAULT);
  if (Process* child = zombie_child(c.p, want)) return complete_wait(c.p, *child, addr);
  if (options & kWNOHANG) return ok(0);
  WaitOn w;
  w.kind = pid == -1 ? WaitOn::Kind::AnyChild : WaitOn::Kind::Child;
  w.pid = want;
  return block(c, w);
}

Kernel::Answer Kernel::complete_wait(Process& parent, Process& child, uint32_t addr) {
  const ProcessInfo& ci = infos_[child.info];
  const bool unix_form = opts_.wait_status == WaitStatusForm::Unix;
  uint32_t word = 0;
  if (const int sig = ci.kill_signal()) {
    word = unix_form ? static_cast<uint32_t>(sig & 0x7f) : static_cast<uint32_t>(killed_status(sig));
  } else {
    const uint32_t status = static_cast<uint32_t>(ci.status);
    word = unix_form ? (status & 0xff) << 8 : status;
  }
  if (addr != 0) {
    uint8_t be[4];
    put_be32(be, word);
    if (!parent.space->copy_out(addr, be, 4)) return error(kEFAULT);
  }
  reap(child);
  return ok(child.pid);
}

std::optional<Kernel::Answer> Kernel::do_getpid(Call& c) { return ok(c.p.pid); }
std::optional<Kernel::Answer> Kernel::do_getppid(Call& c) { return ok(c.p.ppid); }

// Every process ends at once, and the run with a status per code.
std::optional<Kernel::Answer> Kernel::do_reboot(Call& c) {
  static constexpr const char* kNames[] = {"RB_REBOOT", "RB_HALT", "RB_POWEROFF"};
  const uint32_t code = c.a[0];
  if (code > kRB_POWEROFF) return error(kEINVAL);
  c.ev.returned = false;
  if (c.described) record(std::move(c.ev));
  const std::string why = std::string("reboot(") + kNames[code] + ") by pid " + std::to_string(c.p.pid);
  end_machine(kExitReboot[code], "r3krun: " + why, [&](const Process&) { return why; });
  return std::nullopt;
}

}  // namespace r3k
