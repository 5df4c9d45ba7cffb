// Lockstep runs: r3krun's Cpu and the reference CPU execute the same code
// from the same state, and after every instruction (a branch together with
// its delay slot) every register, HI, LO, pc and the watched memory must be
// equal on both sides.
//
// How the two are kept in step.  The reference runs freely with a code hook
// over the code range; the hook fires before each instruction, and at each
// one that is not a delay slot r3krun runs one unit (it has a breakpoint on
// every code word, and does not stop in a delay slot) and both states are
// compared.  Stepping unicorn with an instruction count would split a branch
// from its delay slot and retranslate for every step, which is far slower.
//
// Where the reference is not an R3000 (all excluded precisely here, or by
// the generator never producing the case):
//  - it runs in kernel mode, so an access to 0x80000000 and above is a plain
//    unmapped access there, where r3krun raises an address error;
//  - an unaligned access to unmapped memory is an unmapped access there,
//    where the R3000 (and r3krun) check alignment first;
//  - in its exception hook pc reads 0, so the faulting pc is taken from the
//    last code hook (and not checked at all for an unaligned fetch);
//  - a swl or swr that cannot store is reported only after the code hook of
//    the next instruction (which then does not run): r3krun's fault is held
//    until the reference's arrives;
//  - a syscall in a delay slot resumes after the syscall, losing the branch;
//  - bit 0 of a jump target switches it to MIPS16 code (never generated);
//  - loads interlock, and HI/LO are MIPS32's, so the R3000 hazards that
//    r3krun refuses simply run there;
//  - uc_mem_write does not drop translated code (Reference::forget_code).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "diff/reference.h"
#include "r3k/cpu.h"

namespace r3k::diff {

// What a kernel-call handler sees: reads come from r3krun's side (equal to
// the reference's, or the run would have stopped), writes go to both.
class BothSides {
 public:
  BothSides(Cpu& cpu, Reference& ref) : cpu_(cpu), ref_(ref) {}
  uint32_t reg(int i) const { return cpu_.state().gpr[i]; }
  void set_reg(int i, uint32_t v);
  bool read(uint32_t addr, void* dst, uint32_t len) const;
  // False (and nothing written) when either side cannot take the bytes.
  bool write(uint32_t addr, const void* src, uint32_t len);

 private:
  Cpu& cpu_;
  Reference& ref_;
};

// Answers one kernel call on both sides; false ends the run (an exit).
using KernelFn = std::function<bool(BothSides&)>;

struct LockstepConfig {
  std::vector<std::pair<uint32_t, uint32_t>> code;   // [lo, hi): hooked, and breakpoints in r3krun
  std::vector<std::pair<uint32_t, uint32_t>> watch;  // [lo, hi) compared whole after every unit
  bool track_writes = false;                         // compare the bytes the reference stored, after every unit
  uint32_t stop_at = 1;                              // done when a unit ends here (1: never)
  // After a fault both sides agree on, go on at the next instruction
  // (unless it was a delay slot or a fetch): more checked per sequence.
  bool resume_after_fault = false;
  uint64_t max_units = 1'000'000;  // then the run ends, agreed so far
  KernelFn kernel;                 // null: a syscall changes nothing
};

struct LockstepOutcome {
  bool agreed = true;
  std::string disagreement;  // the first one, with context
  uint64_t units = 0;        // compared boundaries
  uint64_t insns = 0;        // instructions r3krun ran
  uint64_t syscalls = 0;
  std::vector<Fault> faults;          // r3krun's faults, each matched by the reference
  uint64_t taken = 0, not_taken = 0;  // branch and jump units by where they went
  bool reached_stop = false, exited = false, capped = false;
};

// Runs from cpu.state() (the reference must hold the same registers and
// memory).  Breakpoints and hooks are removed again afterwards.
LockstepOutcome run_lockstep(Cpu& cpu, Reference& ref, const LockstepConfig& cfg);

// True for the instructions with a delay slot.
bool has_delay_slot(uint32_t word);

// Registers by their assembler names, for reports.
const char* reg_name(int i);

}  // namespace r3k::diff
