#include "diff/lockstep.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <deque>

#include "r3k/memory.h"
#include "support/mips_encode.h"

namespace r3k::diff {

namespace {

using enc::hex;

constexpr const char* kRegNames[32] = {"zero", "at", "v0", "v1", "a0", "a1", "a2", "a3", "t0", "t1", "t2",
                                       "t3",   "t4", "t5", "t6", "t7", "s0", "s1", "s2", "s3", "s4", "s5",
                                       "s6",   "s7", "t8", "t9", "k0", "k1", "gp", "sp", "fp", "ra"};

// The reference's exception numbers, as its interrupt hook reports them.
enum RefException : uint32_t {
  kRefAddressLoad = 12,  // unaligned load or fetch
  kRefAddressStore = 13,
  kRefSyscall = 17,
  kRefBreak = 18,
  kRefReserved = 20,
  kRefOverflow = 21,
};

struct RefStop {
  enum Kind : uint8_t { None, Exception, Error } kind = None;
  uint32_t intno = 0;
  uc_err err = UC_ERR_OK;
  std::string text() const {
    if (kind == Exception) return "exception " + std::to_string(intno);
    if (kind == Error) return uc_strerror(err);
    return "no fault";
  }
};

// Whether the reference's way of stopping is the fault r3krun reported.
bool same_fault(const Fault& f, const RefStop& rs) {
  bool unmapped_error =
      rs.kind == RefStop::Error &&
      (rs.err == UC_ERR_READ_UNMAPPED || rs.err == UC_ERR_WRITE_UNMAPPED || rs.err == UC_ERR_FETCH_UNMAPPED ||
       rs.err == UC_ERR_READ_PROT || rs.err == UC_ERR_WRITE_PROT || rs.err == UC_ERR_FETCH_PROT);
  switch (f.kind) {
    case FaultKind::Overflow: return rs.kind == RefStop::Exception && rs.intno == kRefOverflow;
    case FaultKind::Break: return rs.kind == RefStop::Exception && rs.intno == kRefBreak;
    case FaultKind::ReservedInstruction: return rs.kind == RefStop::Exception && rs.intno == kRefReserved;
    case FaultKind::AddressError: {
      // Kernel mode: the reference maps the top half instead of refusing it.
      if (f.addr >= kUserEnd && (unmapped_error || rs.kind == RefStop::Exception)) return true;
      // An unaligned access to unmapped memory: the R3000 checks alignment
      // first, the reference the mapping.
      uint32_t op = f.insn >> 26;
      uint32_t width = op == 0x21 || op == 0x25 || op == 0x29 ? 2 : op == 0x23 || op == 0x2b ? 4 : 1;
      if (!f.fetch && (f.addr & (width - 1)) && unmapped_error) return true;
      return rs.kind == RefStop::Exception && (rs.intno == kRefAddressLoad || rs.intno == kRefAddressStore);
    }
    case FaultKind::BadAddress: return unmapped_error;
    case FaultKind::LoadDelayHazard:
    case FaultKind::HiLoHazard:
    case FaultKind::BranchInDelaySlot: return false;  // the reference has no such fault
  }
  return false;
}

struct Driver {
  Cpu& cpu;
  Reference& ref;
  const LockstepConfig& cfg;
  LockstepOutcome out;

  bool started = false;        // a boundary has been seen in this uc_emu_start
  bool in_delay = false;       // the next hooked instruction is a delay slot
  bool stepped_early = false;  // r3krun already ran this unit (it ended in a syscall)
  bool finished = false;
  bool unit_branches = false;  // the unit being run starts with a branch or jump
  uint32_t unit_start = 0;     // first instruction of the unit being run
  uint32_t last_addr = 0;      // last instruction the reference hooked
  RefStop ref_stop;
  RefRegs ref_at_stop;    // the reference's registers when it faulted
  bool deferred = false;  // r3krun's fault, awaiting the reference's late report
  Stop deferred_stop;
  std::vector<std::pair<uint32_t, int>> writes;  // by the reference, this unit
  std::deque<uint32_t> recent;                   // unit start pcs, for reports

  Driver(Cpu& c, Reference& r, const LockstepConfig& k) : cpu(c), ref(r), cfg(k) {}

  void fail(const std::string& what) {
    if (!out.agreed) return;
    out.agreed = false;
    std::string s = what;
    uint32_t w = 0;
    uint8_t b[4];
    if (cpu.space()->peek(unit_start, b, 4)) {
      w = enc::be32(b);
      s += "\n  unit starting at " + hex(unit_start) + ": " + disassemble(w, unit_start);
      if (has_delay_slot(w) && cpu.space()->peek(unit_start + 4, b, 4)) {
        uint32_t d = enc::be32(b);
        s += " ; " + disassemble(d, unit_start + 4);
      }
    }
    s += "\n  units before it:";
    for (uint32_t pc : recent) s += " " + hex(pc);
    s += "\n  after " + std::to_string(out.units) + " agreed units";
    out.disagreement = s;
    finished = true;
    uc_emu_stop(ref.uc());
  }

  // Runs r3krun up to the next boundary.
  Stop step() {
    Stop s = cpu.run(UINT64_MAX);
    out.insns += s.executed;
    ++out.units;
    recent.push_back(unit_start);
    if (recent.size() > 8) recent.pop_front();
    return s;
  }

  std::string stop_text(const Stop& s) {
    switch (s.reason) {
      case StopReason::Syscall: return "a syscall";
      case StopReason::Fault: return "fault: " + s.fault.describe();
      case StopReason::Budget: return "the budget";
      case StopReason::Breakpoint: return "the next instruction";
    }
    return "?";
  }

  // Compares registers (with the reference's pc taken as given) and the
  // watched memory; false after reporting a difference.
  bool compare(RefRegs rr, const char* where) {
    const CpuState& st = cpu.state();
    std::string diffs;
    for (int i = 0; i < 32; ++i)
      if (st.gpr[i] != rr.gpr[i])
        diffs += std::string("\n  ") + kRegNames[i] + ": r3krun " + hex(st.gpr[i]) + ", reference " + hex(rr.gpr[i]);
    if (st.hi != rr.hi) diffs += "\n  hi: r3krun " + hex(st.hi) + ", reference " + hex(rr.hi);
    if (st.lo != rr.lo) diffs += "\n  lo: r3krun " + hex(st.lo) + ", reference " + hex(rr.lo);
    if (st.pc != rr.pc) diffs += "\n  pc: r3krun " + hex(st.pc) + ", reference " + hex(rr.pc);
    diffs += compare_memory();
    if (diffs.empty()) return true;
    fail(std::string("state differs ") + where + ":" + diffs);
    return false;
  }

  std::string compare_bytes(uint32_t lo, uint32_t len, int& shown) {
    std::vector<uint8_t> a(len), b(len);
    bool ra = cpu.space()->peek(lo, a.data(), len);
    bool rb = ref.read(lo, b.data(), len);
    if (!ra && !rb) return {};
    if (ra != rb) {
      return "\n  memory " + hex(lo) + "+" + std::to_string(len) + ": readable on " +
             (ra ? "r3krun" : "the reference") + " only";
    }
    if (std::memcmp(a.data(), b.data(), len) == 0) return {};
    std::string s;
    for (uint32_t i = 0; i < len; ++i) {
      if (a[i] == b[i]) continue;
      if (shown++ < 8) {
        char line[96];
        std::snprintf(line, sizeof line, "\n  byte 0x%08" PRIx32 ": r3krun 0x%02x, reference 0x%02x", lo + i, a[i],
                      b[i]);
        s += line;
      }
    }
    return s;
  }

  std::string compare_memory() {
    std::string s;
    int shown = 0;
    for (auto [lo, hi] : cfg.watch) s += compare_bytes(lo, hi - lo, shown);
    for (auto [addr, size] : writes) s += compare_bytes(addr, uint32_t(size), shown);
    writes.clear();
    return s;
  }

  // The reference reports a swl or swr that cannot store only after the
  // code hook of the next instruction has run (that instruction does not
  // run, and the fault follows).
  bool reported_late(const Fault& f) {
    uint8_t b[4];
    if (f.fetch || !cpu.space()->peek(f.pc, b, 4)) return false;
    uint32_t op = b[0] >> 2;
    return (op == 0x2a || op == 0x2e) && (f.kind == FaultKind::BadAddress || f.kind == FaultKind::AddressError);
  }

  // ---- hooks ---------------------------------------------------------------

  void on_code(uint32_t addr) {
    if (deferred) return;
    if (finished) {
      uc_emu_stop(ref.uc());
      return;
    }
    if (in_delay) {
      in_delay = false;
      last_addr = addr;
      return;
    }
    if (started) {
      if (stepped_early) {
        stepped_early = false;
      } else {
        Stop s = step();
        if (s.reason == StopReason::Fault && reported_late(s.fault)) {
          deferred = true;
          deferred_stop = s;
          uc_emu_stop(ref.uc());  // its own stop follows
          return;
        }
        if (s.reason != StopReason::Breakpoint) {
          fail("r3krun stopped at " + stop_text(s) + " where the reference went on to " + hex(addr));
          return;
        }
      }
      RefRegs rr = ref.regs();
      rr.pc = addr;
      if (!compare(rr, "at a boundary")) return;
      if (unit_branches) ++(addr == unit_start + 8 ? out.not_taken : out.taken);
    }
    started = true;
    unit_start = last_addr = addr;
    if (addr == cfg.stop_at) {
      out.reached_stop = true;
      finished = true;
      uc_emu_stop(ref.uc());
      return;
    }
    if (out.units >= cfg.max_units) {
      out.capped = true;
      finished = true;
      uc_emu_stop(ref.uc());
      return;
    }
    uint8_t b[4];
    if (ref.read(addr, b, 4)) in_delay = has_delay_slot(enc::be32(b));
    unit_branches = in_delay;
  }

  void on_interrupt(uint32_t intno) {
    if (finished) {
      uc_emu_stop(ref.uc());
      return;
    }
    if (intno != kRefSyscall) {
      ref_stop.kind = RefStop::Exception;
      ref_stop.intno = intno;
      ref_at_stop = ref.regs();
      uc_emu_stop(ref.uc());
      return;
    }
    // Both sides are just past the syscall: compare, then answer once.
    if (last_addr != unit_start) {
      fail("syscall in a delay slot: the reference cannot resume it (not comparable)");
      return;
    }
    ++out.syscalls;
    Stop s = step();
    if (s.reason != StopReason::Syscall) {
      fail("the reference trapped on a syscall; r3krun stopped at " + stop_text(s));
      return;
    }
    stepped_early = true;
    if (!compare(ref.regs(), "at a syscall")) return;
    if (cfg.kernel) {
      BothSides both(cpu, ref);
      if (!cfg.kernel(both)) {
        out.exited = true;
        finished = true;
        uc_emu_stop(ref.uc());
      }
    }
  }

  // ---- after the reference stopped by itself --------------------------------

  // Returns the pc to go on from, or 1 to end the run.
  uint32_t after_reference_fault() {
    Stop s = deferred ? deferred_stop : step();
    deferred = false;
    if (s.reason != StopReason::Fault) {
      fail("the reference stopped with " + ref_stop.text() + " at " + hex(last_addr) + "; r3krun stopped at " +
           stop_text(s));
      return 1;
    }
    const Fault& f = s.fault;
    if (!same_fault(f, ref_stop)) {
      fail("r3krun: " + f.describe() + "; the reference: " + ref_stop.text());
      return 1;
    }
    RefRegs rr = ref_stop.kind == RefStop::Exception ? ref_at_stop : ref.regs();
    // The reference's pc is not usable in its exception hook: the faulting
    // instruction is the one it hooked last, or for a fetch the target.
    if (f.fetch) rr.pc = ref_stop.kind == RefStop::Error ? ref.reg(UC_MIPS_REG_PC) : f.pc;
    else rr.pc = last_addr;
    if (!compare(rr, "at a fault")) return 1;
    out.faults.push_back(f);
    if (!cfg.resume_after_fault || f.in_delay_slot || f.fetch) return 1;
    // As if a handler had skipped the instruction: no hazard spans it.
    CpuState& st = cpu.state();
    st.pc = f.pc + 4;
    st.load_reg = 0;
    st.load_partial = false;
    st.hilo_guard = 0;
    RefRegs keep = rr;
    keep.pc = st.pc;
    ref.reset_cpu();  // out of exception mode
    ref.set_regs(keep);
    return st.pc;
  }
};

void hook_code(uc_engine*, uint64_t addr, uint32_t, void* user) { static_cast<Driver*>(user)->on_code(uint32_t(addr)); }
void hook_intr(uc_engine*, uint32_t intno, void* user) { static_cast<Driver*>(user)->on_interrupt(intno); }
void hook_write(uc_engine*, uc_mem_type, uint64_t addr, int size, int64_t, void* user) {
  static_cast<Driver*>(user)->writes.emplace_back(uint32_t(addr), size);
}

}  // namespace

void BothSides::set_reg(int i, uint32_t v) {
  if (i == 0) return;
  cpu_.state().gpr[i] = v;
  ref_.set_reg(UC_MIPS_REG_0 + i, v);
}

bool BothSides::read(uint32_t addr, void* dst, uint32_t len) const { return cpu_.space()->copy_in(addr, dst, len); }

bool BothSides::write(uint32_t addr, const void* src, uint32_t len) {
  std::vector<uint8_t> probe(len);  // the reference has no all-or-nothing write
  if (!ref_.read(addr, probe.data(), len)) return false;
  if (!cpu_.space()->copy_out(addr, src, len)) return false;
  ref_.write(addr, src, len);
  return true;
}

bool has_delay_slot(uint32_t word) {
  uint32_t op = word >> 26, rt = (word >> 16) & 31, funct = word & 63;
  if (op == 0) return funct == 0x08 || funct == 0x09;                        // jr, jalr
  if (op == 1) return rt == 0x00 || rt == 0x01 || rt == 0x10 || rt == 0x11;  // bltz bgez bltzal bgezal
  return op >= 0x02 && op <= 0x07;                                           // j jal beq bne blez bgtz
}

const char* reg_name(int i) { return kRegNames[i & 31]; }

LockstepOutcome run_lockstep(Cpu& cpu, Reference& ref, const LockstepConfig& cfg) {
  Driver d(cpu, ref, cfg);
  std::vector<uc_hook> hooks;
  for (auto [lo, hi] : cfg.code) {
    for (uint32_t a = lo; a < hi; a += 4) cpu.add_breakpoint(a);
    uc_hook h = 0;
    uc_check(
        uc_hook_add(ref.uc(), &h, UC_HOOK_CODE, reinterpret_cast<void*>(hook_code), &d, uint64_t(lo), uint64_t(hi) - 1),
        "uc_hook_add(code)");
    hooks.push_back(h);
  }
  uc_hook hi = 0, hw = 0;
  uc_check(uc_hook_add(ref.uc(), &hi, UC_HOOK_INTR, reinterpret_cast<void*>(hook_intr), &d, 1, 0), "uc_hook_add(intr)");
  if (cfg.track_writes)
    uc_check(uc_hook_add(ref.uc(), &hw, UC_HOOK_MEM_WRITE, reinterpret_cast<void*>(hook_write), &d, 1, 0),
             "uc_hook_add(write)");

  // Both must start equal, or nothing after means anything.
  RefRegs start = ref.regs();
  start.pc = cpu.state().pc;
  ref.set_reg(UC_MIPS_REG_PC, start.pc);
  d.unit_start = start.pc;
  if (d.compare(start, "before the first instruction")) {
    uint32_t pc = cpu.state().pc;
    while (!d.finished) {
      d.started = d.in_delay = d.stepped_early = d.deferred = false;
      d.ref_stop = RefStop{};
      d.writes.clear();
      uc_err e = uc_emu_start(ref.uc(), pc, 0xfffffffcu, 0, 0);
      if (d.finished) break;
      if (e != UC_ERR_OK) {
        d.ref_stop.kind = RefStop::Error;
        d.ref_stop.err = e;
      }
      if (d.ref_stop.kind == RefStop::None) {
        d.fail("the reference stopped without a reason at " + hex(ref.reg(UC_MIPS_REG_PC)));
        break;
      }
      if (d.stepped_early) {
        // Cannot be: a syscall unit completes before the reference faults.
        d.fail("the reference faulted right after a syscall");
        break;
      }
      pc = d.after_reference_fault();
      if (pc == 1) break;
    }
  }

  for (uc_hook h : hooks) uc_hook_del(ref.uc(), h);
  uc_hook_del(ref.uc(), hi);
  if (hw) uc_hook_del(ref.uc(), hw);
  cpu.clear_breakpoints();
  return d.out;
}

}  // namespace r3k::diff
