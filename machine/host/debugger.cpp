// The machine as the protocol layer's target, and the loop that moves the
// debugger's bytes and runs the machine between its commands.
#include "r3k/debugger.h"

#include <algorithm>
#include <map>

#include "r3k/console.h"
#include "r3k/gdb_stub.h"

namespace r3k {
namespace {

using gdb::RegAccess;
using gdb::StopEvent;

// CP0 as an R3000 in user mode shows it: KUc and IEc set.
constexpr uint32_t kStatusUser = 0x3;
// Exception codes of the cause register, and its branch-delay bit.
enum Exc : uint32_t {
  kExcInt = 0,
  kExcMod = 1,
  kExcTlbl = 2,
  kExcTlbs = 3,
  kExcAdel = 4,
  kExcAdes = 5,
  kExcBp = 9,
  kExcRi = 10,
  kExcOv = 12
};
constexpr uint32_t kCauseBd = 1u << 31;

uint32_t exception_code(const Fault& f, const AddressSpace& space) {
  switch (f.kind) {
    case FaultKind::Break: return kExcBp;
    case FaultKind::Overflow: return kExcOv;
    case FaultKind::AddressError: return f.store() ? kExcAdes : kExcAdel;
    case FaultKind::BadAddress:
      if (!f.store()) return kExcTlbl;
      return space.prot(f.addr) != kProtNone ? kExcMod : kExcTlbs;
    default: return kExcRi;
  }
}

class MachineTarget final : public gdb::DebugTarget {
 public:
  explicit MachineTarget(Machine& m) : m_(m) {}

  uint32_t thread_id() const override { return m_.first_info().pid; }

  RegAccess read_register(int reg, uint32_t& v) override {
    const CpuState& st = m_.first_cpu().state();
    if (reg >= 0 && static_cast<uint32_t>(reg) < kGprCount) v = reg == 0 ? 0 : st.gpr[reg];
    else if (reg == gdb::kRegLo) v = st.lo;
    else if (reg == gdb::kRegHi) v = st.hi;
    else if (reg == gdb::kRegPc) v = st.pc;
    else if (reg == gdb::kRegStatus) v = kStatusUser;
    else if (reg == gdb::kRegBadVaddr) v = badvaddr_;
    else if (reg == gdb::kRegCause) v = cause_;
    else return RegAccess::Unavailable;  // no FPU on this R3000
    return RegAccess::Ok;
  }

  RegAccess write_register(int reg, uint32_t v) override {
    uint32_t now = 0;
    const RegAccess readable = read_register(reg, now);
    if (readable != RegAccess::Ok) return readable;
    if (v == now) return RegAccess::Ok;  // gdb's G writes back what it read
    // The call the process is blocked in answers there when it returns.
    if (m_.first_blocked() && (reg == regs::v0 || reg == regs::v1 || reg == regs::a3)) return RegAccess::Refused;
    CpuState& st = m_.first_cpu().state();
    if (reg > 0 && static_cast<uint32_t>(reg) < kGprCount) st.gpr[reg] = v;
    else if (reg == gdb::kRegLo) st.lo = v;
    else if (reg == gdb::kRegHi) st.hi = v;
    else if (reg == gdb::kRegPc) {
      // Elsewhere, the hazards of the instructions before mean nothing.
      st.pc = v;
      st.load_reg = 0;
      st.load_partial = false;
      st.hilo_guard = 0;
    } else {
      return RegAccess::Refused;  // r0 and CP0
    }
    return RegAccess::Ok;
  }

  // Ignoring protection, as a debugger does, but mapped pages only.
  uint32_t read_memory(uint32_t addr, uint8_t* dst, uint32_t len) override {
    uint32_t done = 0;
    while (done < len) {
      const uint32_t at = addr + done;
      const uint32_t n = std::min(len - done, kPageSize - (at & (kPageSize - 1)));
      if (at >= kUserEnd || !m_.space().peek(at, dst + done, n)) break;
      done += n;
    }
    return done;
  }

  // Copy on write holds, and decoded and generated code of the pages
  // written is dropped: AddressSpace::poke.
  bool write_memory(uint32_t addr, const uint8_t* src, uint32_t len) override {
    return uint64_t{addr} + len <= kUserEnd && m_.space().poke(addr, src, len);
  }

  bool insert_breakpoint(gdb::BreakKind kind, uint32_t addr) override {
    if (addr >= kUserEnd || !(m_.space().prot(addr) & kProtExec)) return false;
    breaks_[addr] |= bit(kind);
    m_.first_cpu().add_breakpoint(addr);
    return true;
  }

  bool remove_breakpoint(gdb::BreakKind kind, uint32_t addr) override {
    auto it = breaks_.find(addr);
    if (it == breaks_.end()) return true;
    if ((it->second &= static_cast<uint8_t>(~bit(kind))) == 0) {
      breaks_.erase(it);
      m_.first_cpu().remove_breakpoint(addr);
    }
    return true;
  }

  void resume(const gdb::Resume& how) override {
    how_ = how;
    interrupted_ = false;
  }
  void interrupt() override { interrupted_ = true; }
  void kill() override { m_.kill_first(kSIGKILL, "from the debugger", true); }
  void detach() override {
    breaks_.clear();
    m_.first_cpu().clear_breakpoints();
  }

  // Runs the machine as the last resume asked; poll() is called now and
  // then and says whether to stop.
  StopEvent run(const std::function<bool()>& poll) {
    if (how_.signal != 0) {
      // No handlers: the signal ends the process.  The fault it stopped at,
      // passed on, ends it as without a debugger.
      if (faulted_ && fault_signal(fault_.kind) == how_.signal) m_.kill_first(fault_);
      else m_.kill_first(how_.signal, "signal from the debugger", false);
      return StopEvent::killed(how_.signal);
    }
    const DebugHalt h = m_.debug_run(how_.step, [&] { return poll() || interrupted_; });
    faulted_ = false;
    cause_ = kExcBp << 2;
    switch (h.why) {
      case DebugHalt::Why::Breakpoint: {
        const auto it = breaks_.find(m_.first_cpu().state().pc);
        const bool soft = it != breaks_.end() && (it->second & bit(gdb::BreakKind::Software));
        return StopEvent::signalled(kSIGTRAP,
                                    soft ? StopEvent::Hit::SoftwareBreakpoint : StopEvent::Hit::HardwareBreakpoint);
      }
      case DebugHalt::Why::Step: return StopEvent::signalled(kSIGTRAP);
      case DebugHalt::Why::Interrupted: cause_ = kExcInt << 2; return StopEvent::signalled(kSIGINT);
      case DebugHalt::Why::Fault: {
        faulted_ = true;
        fault_ = h.fault;
        if (memory_fault(h.fault.kind)) badvaddr_ = h.fault.addr;
        cause_ = exception_code(h.fault, m_.space()) << 2 | (h.fault.in_delay_slot ? kCauseBd : 0);
        return StopEvent::signalled(fault_signal(h.fault.kind));
      }
      case DebugHalt::Why::Ended: break;
    }
    const ProcessInfo& info = m_.first_info();
    if (const int sig = info.kill_signal()) return StopEvent::killed(sig);
    return StopEvent::exited(static_cast<uint32_t>(info.status));
  }

 private:
  static uint8_t bit(gdb::BreakKind k) { return static_cast<uint8_t>(1u << static_cast<int>(k)); }

  Machine& m_;
  std::map<uint32_t, uint8_t> breaks_;  // address -> kinds inserted there
  gdb::Resume how_{};
  bool interrupted_ = false;
  bool faulted_ = false;  // stopped at fault_, not yet delivered
  Fault fault_{};
  uint32_t badvaddr_ = 0;
  uint32_t cause_ = kExcBp << 2;
};

}  // namespace

void serve_debugger(Machine& machine, gdb::Connection& conn) {
  MachineTarget target(machine);
  // Held before its first instruction.
  gdb::Stub stub(target, StopEvent::signalled(kSIGTRAP));
  std::string in;  // received, not yet taken by the stub: a chunk or the rest of one
  bool lost = false;
  // While running the stub acknowledges and holds packets for after the
  // stop, up to a bound; nothing more is read until it has taken what
  // came, so memory stays bounded, but a drop is seen all the same.
  auto poll = [&] {
    if (in.empty() ? conn.receive(in, false) == gdb::Connection::Got::Closed : conn.hung_up()) lost = true;
    in.erase(0, stub.receive(in));
    if (!lost && stub.has_output() && !conn.send(stub.take_output())) lost = true;  // acknowledgements
    return lost;
  };
  while (!lost) {
    if (stub.has_output() && !conn.send(stub.take_output())) lost = true;
    if (lost || stub.state() == gdb::Stub::State::Closed) break;
    if (stub.state() == gdb::Stub::State::Running) {
      stub.stopped(target.run(poll));
      continue;
    }
    if (in.empty() && !stub.has_held()) {
      Console::host().flush();  // what the program wrote is out before we wait
      if (conn.receive(in, true) == gdb::Connection::Got::Closed) break;
    }
    in.erase(0, stub.receive(in));
  }
  // Gone without a word: quitting gdb kills a process started for it.
  if (stub.state() != gdb::Stub::State::Closed && !machine.first_info().ended())
    machine.kill_first(kSIGKILL, "the debugger's connection was lost", true);
}

}  // namespace r3k
