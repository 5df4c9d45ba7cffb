// Strict R3000 user-mode CPU: MIPS-I integer instructions, big-endian,
// branch delay slots, HI/LO, and the R3000's load-delay and HI/LO hazards
// treated as faults instead of silently giving stale values.  Fields the
// R3000 does not decode (the rs of sll, the shamt of addu, ...) are
// ignored as the hardware ignores them; every encoding outside MIPS-I is
// a reserved instruction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "r3k/memory.h"
#include "r3k/regs.h"

namespace r3k {

enum class FaultKind : uint8_t {
  ReservedInstruction,  // unknown encoding, MIPS II+, any coprocessor op
  Break,                // break instruction
  Overflow,             // add/addi/sub signed overflow
  AddressError,         // unaligned, or outside user space
  BadAddress,           // unmapped, or store to a read-only page
  LoadDelayHazard,      // next instruction reads a load's destination
  HiLoHazard,           // HI/LO written within two of mfhi/mflo
  BranchInDelaySlot,    // branch or jump in a branch delay slot
};

// The signal a MIPS kernel delivers for each fault (r3k/signals.h).
int fault_signal(FaultKind kind);
const char* fault_name(FaultKind kind);
// Whether the fault is about a data address (address error, bad address):
// Fault::addr is that address, else the pc.
bool memory_fault(FaultKind kind);

struct Fault {
  FaultKind kind{};
  uint32_t pc = 0;    // address of the faulting instruction
  uint32_t insn = 0;  // its encoding
  uint32_t addr = 0;  // data address for memory faults, else pc
  bool in_delay_slot = false;
  bool fetch = false;  // the instruction itself could not be fetched
  uint8_t reg = 0;     // load-delay hazard: the register loaded just before
  // Fetch fault: the branch or jump that went there (0: not known, as for
  // code that ran off the end of its page).
  uint32_t from_pc = 0;
  // In a delay slot: where its branch or jump was going (the target when
  // taken, else the instruction after the slot).
  uint32_t branch_to = 0;
  // A data access made by a store (sb, sh, swl, sw, swr).
  bool store() const;
  // One line: fault name, pc, instruction text, address where relevant;
  // where names the code at pc ("deref+0x8") and cause the likely reason,
  // when whoever reports the fault knows them.
  std::string describe(std::string_view where = {}, std::string_view cause = {}) const;
};

// A caller on the way to a fault: the address of its call instruction,
// and whether the link is known rather than likely.  Known: found from
// call-frame information all the way, or the call is a jal to the very
// function it returns from.  Likely: read from a prologue, or a call
// through a register.
struct CallSite {
  uint32_t pc = 0;
  bool sure = false;
};

// Architectural state plus the R3000 strictness that survives a stop.
struct CpuState {
  uint32_t gpr[kGprCount] = {};
  uint32_t hi = 0, lo = 0;
  uint32_t pc = 0;            // next instruction to execute
  uint8_t load_reg = 0;       // register loaded by the instruction just run (0: none)
  bool load_partial = false;  // that load was lwl/lwr (an lwl/lwr on the same register may follow)
  uint8_t hilo_guard = 0;     // instructions still forbidden to write HI/LO
};

// Told of each stretch of host code the code generator makes, as it makes
// it, so that a profiler can name it (r3krun --perf-map).  Called only
// while code is generated, never while it runs.
class CodeListener {
 public:
  virtual ~CodeListener() = default;
  // The code of the guest's block at guest_pc (one block of a region);
  // exits: the region's shared tail (page-cache fills, ways out) instead.
  virtual void guest_code(const void* code, size_t size, uint32_t guest_pc, bool exits) = 0;
  // Code all regions share, named by its job ("entry-thunk", ...); told
  // to each listener once, before the first guest code.
  virtual void shared_code(const void* code, size_t size, std::string_view job) = 0;
  bool shared_told = false;
};

// The code generator for hot blocks (x86-64 hosts; elsewhere everything is
// interpreted).  Generated code gives exactly what the interpreter gives;
// off, every instruction is interpreted.
struct JitConfig {
  bool enabled = true;
  // Complete runs of a block before its code is generated; 0 generates
  // at the first run, so that tests reach the generated code everywhere.
  uint32_t hot_after = 32;
  // Told of the code made (not owned; null: nobody is).
  CodeListener* listener = nullptr;
};
// What new Cpus and Options start with: tests switch it for a whole run.
JitConfig& jit_defaults();
// Whether this host has the code generator at all.
bool jit_available();

enum class StopReason : uint8_t { Syscall, Fault, Budget, Breakpoint };

// A kernel call served where it stands, without stopping the run: called
// at a syscall (counted as run, pc past it) with the guest registers
// (gpr[0..31]).  It either serves the call, answering in the registers,
// and returns true, the run going on after it; or does nothing and
// returns false, and the run stops with StopReason::Syscall as without a
// hook.  It must not change the address space's mappings or contents, nor
// anything else the run depends on, nor throw (generated code cannot be
// unwound); a plain function, not std::function, since it is called once
// per guest call.
struct SyscallHook {
  bool (*serve)(void* context, uint32_t* gpr) = nullptr;
  void* context = nullptr;
};

struct Stop {
  StopReason reason{};
  uint64_t executed = 0;  // instructions completed in this run (a syscall counts)
  Fault fault{};          // valid when reason == Fault
  uint64_t left = 0;      // of the budget (of the last refill's, if any)
  uint32_t refilled = 0;  // refills used
};

// Slices of a lone process back to back in one run: each time the budget
// runs out at a block's end, while `count` last, the run goes on with a
// fresh budget of `period` from there, exactly as a new run(period) would.
struct Refills {
  uint64_t period = 0;
  uint32_t count = 0;
};

class Cpu {
 public:
  explicit Cpu(AddressSpace* space);
  ~Cpu();
  Cpu(const Cpu&) = delete;
  Cpu& operator=(const Cpu&) = delete;

  CpuState& state() { return state_; }
  const CpuState& state() const { return state_; }
  AddressSpace* space() const { return space_; }
  void set_space(AddressSpace* space);

  // Runs until a syscall (state.pc is then the resume address past it),
  // a fault (state.pc is the faulting instruction, its effects undone),
  // a breakpoint (state.pc is the breakpoint, not yet executed), or the
  // budget is used up.  Stops only between instructions, never between a
  // branch and its delay slot, so executed may pass budget by the few
  // instructions that finish a basic block (at most 64).  A budget of 0
  // returns at once (reason Budget, nothing executed).  The instruction at
  // state.pc when run() starts is never stopped at, so a run resumes past
  // the breakpoint it stopped on.
  Stop run(uint64_t budget, Refills refills = {});
  // Runs exactly one instruction, a branch together with its delay slot
  // (reason Budget when nothing else stopped it), as a debugger steps.
  // Like run(), it does not stop at a breakpoint at state.pc.
  Stop step();
  // Whether the last run() or step() stopped between two instructions of
  // one block (at a breakpoint, or after a step), where a run without the
  // stop would have gone on to the block's end whatever its budget.
  bool stopped_inside_block() const;
  // After a fault in a branch delay slot (as the stop left the state),
  // puts the state back to just before the branch, as an R3000 reports
  // such an exception (at the branch, with the cause's BD bit), so that
  // running on executes the branch again and goes where it went: pc at
  // the branch and the HI/LO guard it met.  The slot's effects are undone
  // already, and the branch's only other effect is its link, written
  // again with the same value; where the link register is also what the
  // branch read (jalr rd,rd; bltzal/bgezal ra, which the architecture
  // leaves unrestartable), it gets a value that sends the branch the same
  // way (the target for jalr; the link with the sign the test saw).
  // False, changing nothing, for a fault elsewhere.
  bool back_to_branch(const Fault& fault);

  // A breakpoint in a branch delay slot is not stopped at; unaligned
  // addresses are ignored.  A run that reaches a breakpoint inside a block
  // stops there (reason Breakpoint) even when its budget ran out on the
  // way, so that a caller keeping slices can finish that block's share of
  // the slice in the next run, as a run without the breakpoint would have.
  void add_breakpoint(uint32_t addr);
  void remove_breakpoint(uint32_t addr);
  bool has_breakpoint(uint32_t addr) const;
  void clear_breakpoints();

  void set_jit(const JitConfig& config);
  const JitConfig& jit() const;
  // Kernel calls served without stopping (none by default).  Not used
  // while breakpoints are set or by step(), so that those stop at every
  // syscall as before.
  void set_syscall_hook(const SyscallHook& hook);

  struct Impl;

 private:
  CpuState state_;
  AddressSpace* space_;
  std::unique_ptr<Impl> impl_;
};

// The host memory the decoded blocks and generated code of a space hold,
// counted afresh from the blocks and mappings themselves: what
// HostMemory::code() keeps count of as they come and go (tests compare).
uint64_t code_bytes(const AddressSpace& space);

// Assembler-style text of one instruction, e.g. "addiu sp,sp,-24".
std::string disassemble(uint32_t insn, uint32_t pc);
// Whether insn is a call that leaves its return address in ra: jal, jalr
// with rd = ra, bltzal, bgezal.
bool links_ra(uint32_t insn);
// What the rest of r3krun asks of an instruction word, from the CPU's
// instruction table.
struct InsnFacts {
  std::string_view name;  // "addiu", ...; empty: no MIPS-I instruction
  uint32_t writes = 0;    // mask of the general registers it writes, $zero left out
  bool direct = false;    // a branch or jump whose target the word gives
  uint32_t target = 0;    // that target, for the word at pc
};
InsnFacts insn_facts(uint32_t insn, uint32_t pc);

}  // namespace r3k
